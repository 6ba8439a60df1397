#!/usr/bin/env bash
# Builds the benchmarks and prints one table: the in-process frame path on this machine,
# then, in the system-test VM, the CUSE floor beside frix's streaming, read(), latency
# and memory figures of the same boot. A full run (no --quick, the VM part done) writes
# the table and the goals held and missed into BENCHMARKS.md.
#   scripts/bench.sh [--quick] [--no-vm]
#     --quick  short runs (CI: keeps the benchmarks building and working)
#     --no-vm  skip the VM part
set -euo pipefail
cd "$(dirname "$0")/.."
quick='' vm=yes
for arg in "$@"; do
  case "$arg" in
    --quick) quick=yes ;;
    --no-vm) vm= ;;
    *) echo "usage: scripts/bench.sh [--quick] [--no-vm]" >&2; exit 2 ;;
  esac
done

build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(frix_device_bench frix_buffers_bench frix_bench_ext)
[ -n "$vm" ] && targets+=(frix frixext pattern cuse_floor cuse_floor_client)
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null

out=$build/bench-results
rm -rf "$out"
mkdir -p "$out"
min_time=1
pairs=1000000
[ -n "$quick" ] && { min_time=0.05; pairs=20000; }

# In-process, on this machine.
"$build/bin/frix_device_bench" --benchmark_min_time=$min_time \
  --benchmark_out="$out/device.json" --benchmark_out_format=json >"$out/device.log" 2>&1
"$build/bin/frix_buffers_bench" --benchmark_min_time=$min_time \
  --benchmark_out="$out/buffers.json" --benchmark_out_format=json >"$out/buffers.log" 2>&1
"$build/bin/frix_bench_ext" $pairs >"$out/ext.txt" 2>&1

# ---- VM part: the floor and frix in one boot (bench/vm/guest.sh) ----
vm_done=
if [ -n "$vm" ]; then
  if [ -x tests/system/vm/boot.sh ] && command -v qemu-system-x86_64 >/dev/null; then
    if tests/system/vm/boot.sh -t 3600 -o "$out/vm" bash bench/vm/guest.sh "$PWD/$build" $quick \
      >"$out/vm.log" 2>&1; then
      vm_done=yes
    else
      echo "bench: the VM part failed, see $out/vm.log" >&2
    fi
  else
    echo "bench: no VM (tests/system/vm/boot.sh or qemu missing); in-process figures only" >&2
  fi
fi
# ---- end of VM part ----

if [ -n "$vm_done" ] && [ -z "$quick" ]; then
  python3 bench/report.py "$out" --markdown BENCHMARKS.md
else
  python3 bench/report.py "$out"
fi
