#!/usr/bin/env bash
# The demo's part inside the VM: serve /dev/frix, look at it with real V4L2 clients.
set -euo pipefail
out=${FRIX_VM_RESULTS:?}
build=${FRIX_BUILD:?}

"$build/bin/frix" -f --driver pattern >"$out/frix.log" 2>&1 &
frix=$!
for _ in $(seq 200); do [ -c /dev/frix ] && break; sleep 0.05; done
[ -c /dev/frix ] || { cat "$out/frix.log"; echo "frix did not create /dev/frix"; exit 1; }
echo "frix (pid $frix) serves /dev/frix:"
ls -l /dev/frix

echo "-- what ffmpeg sees: the formats and sizes the node offers"
ffmpeg -hide_banner -nostdin -f v4l2 -list_formats all -i /dev/frix 2>&1 | grep -i 'raw' || true

echo "-- read() I/O: dd reads 3 frames of 640x480 YUYV"
dd if=/dev/frix of=/tmp/frames.raw bs=614400 count=3 iflag=fullblock 2>&1 | tail -n1
"$build/bin/frix_frame_check" --size 640x480 --format YUYV /tmp/frames.raw

echo "-- memory-mapped streaming: ffmpeg started through frix-run captures 30 frames"
"$build/bin/frix-run" ffmpeg -nostdin -loglevel error -f v4l2 -i /dev/frix \
  -frames:v 30 -update 1 -y "$out/frix-demo.png"
ls -l "$out/frix-demo.png"

kill -TERM "$frix"
wait "$frix" && echo "frix ended cleanly"
