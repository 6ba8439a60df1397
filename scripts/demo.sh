#!/usr/bin/env bash
# The main job: builds frix and serves a test-pattern camera through a real V4L2 node.
# With CUSE on this machine, frix serves /dev/frix in the foreground until Ctrl-C.
# Without it, the same runs inside a small VM with a stock Debian kernel: real clients
# capture frames through the node and the picture lands in ./frix-demo.png.
# FRIX_DEMO_CHECK=1 (the test command sets it) runs the capture and its checks on a
# machine with CUSE too, instead of serving until Ctrl-C.
set -euo pipefail
user_dir=$PWD
cd "$(dirname "$0")/.."
root=$PWD

have_cuse() {
  [ -c /dev/cuse ] || { modprobe cuse 2>/dev/null && [ -c /dev/cuse ]; }
}

if have_cuse; then
  bash scripts/install-deps.sh
else
  bash scripts/install-deps.sh vm
fi
echo "== building frix"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Everything the demo runs: the capture check and frix-run (made at configure time) too.
cmake --build build -j"$(nproc)" --target frix pattern frixext frix_frame_check >/dev/null
build/bin/frix --program-info

results=$root/build/demo-results
rm -rf "$results"
if have_cuse && [ -n "${FRIX_DEMO_CHECK:-}" ]; then
  mkdir -p "$results"
  FRIX_VM_RESULTS=$results FRIX_BUILD=$root/build bash scripts/demo-guest.sh
  cp "$results/frix-demo.png" "$user_dir/frix-demo.png"
  exit 0
fi
if have_cuse; then
  cat <<EOT
== serving /dev/frix with the pattern driver (Ctrl-C ends it)
   look at it with, for example:
     v4l2-ctl -d /dev/frix --all
     ffplay -f v4l2 /dev/frix                                       (read() I/O)
     $root/build/bin/frix-run ffplay -f v4l2 /dev/frix   (memory-mapped streaming)
EOT
  exec build/bin/frix -f --driver pattern
fi

echo "== this kernel has no CUSE: running frix in a VM (stock Debian kernel, qemu)"
tests/system/vm/boot.sh -t 600 -o "$results" env FRIX_BUILD="$root/build" bash scripts/demo-guest.sh
cp "$results/frix-demo.png" "$user_dir/frix-demo.png"
echo "== done: the picture that came through the node is $user_dir/frix-demo.png"
