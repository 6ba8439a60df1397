#!/usr/bin/env bash
# The main job: builds frix and serves a test-pattern camera through a real V4L2 node.
# With CUSE on this machine, frix serves /dev/frix in the foreground until Ctrl-C.
# Without it, the same runs inside a small VM with a stock Debian kernel: real clients
# capture frames through the node and the picture lands in ./frix-demo.png.
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
cmake --build build -j"$(nproc)" --target frix pattern frixext >/dev/null
build/bin/frix --program-info

if have_cuse; then
  cat <<EOT
== serving /dev/frix with the pattern driver (Ctrl-C ends it)
   look at it with, for example:
     v4l2-ctl -d /dev/frix --all
     ffplay -f v4l2 /dev/frix                                       (read() I/O)
     LD_PRELOAD=$root/build/lib/libfrixext.so ffplay -f v4l2 /dev/frix  (memory-mapped)
EOT
  exec build/bin/frix -f --driver pattern
fi

echo "== this kernel has no CUSE: running frix in a VM (stock Debian kernel, qemu)"
results=$root/build/demo-results
rm -rf "$results"
tests/system/vm/boot.sh -t 600 -o "$results" env FRIX_BUILD="$root/build" bash scripts/demo-guest.sh
cp "$results/frix-demo.png" "$user_dir/frix-demo.png"
echo "== done: the picture that came through the node is $user_dir/frix-demo.png"
