# shellcheck shell=bash
# Memory-mapped streaming with unchanged clients and the preload library.

STREAM_CLIENT=$FRIX_BUILD/bin/frix_stream_client

with_ext() {
  LD_PRELOAD=$FRIX_EXT "$@"
}

case_mmap_v4l2_ctl() {
  start_frix
  with_ext v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=12 --stream-to=frames.raw
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 12 frames.raw
}

case_mmap_v4l2_ctl_other_format() {
  start_frix
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=1280,height=720,pixelformat=RGB3 \
    --stream-mmap=3 --stream-count=6 --stream-to=frames.raw
  "$FRAME_CHECK" --size 1280x720 --format RGB24 --consecutive --min-frames 6 frames.raw
}

# The largest size, moving: each frame the picture scrolled on by 4 pixels.
case_mmap_v4l2_ctl_2160p() {
  start_frix
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=3840,height=2160,pixelformat=YUYV \
    --stream-mmap=3 --stream-count=5 --stream-to=frames.raw
  "$FRAME_CHECK" --size 3840x2160 --format YUYV --consecutive --min-frames 5 frames.raw ||
    fail "frames.raw: not the frames streamed"
  rm -f frames.raw  # 80 MB of frames that matched
}

case_mmap_ffmpeg() {
  start_frix
  # Monotonic frame times that advance with the frames: ffmpeg finds no odd duration.
  with_ext ffmpeg -nostdin -loglevel verbose -f v4l2 -input_format yuyv422 -video_size 640x480 \
    -i "$FRIX_NODE" -frames:v 60 -fps_mode passthrough -c:v rawvideo -f rawvideo frames.raw \
    2>ffmpeg.txt || { tail ffmpeg.txt; fail "ffmpeg failed"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --min-frames 60 frames.raw ||
    fail "frames.raw: not the frames streamed"
  if grep -n 'Past duration' ffmpeg.txt; then fail "ffmpeg saw frame times go astray"; fi
}

# Every stream counts its frames from 0, each stamped with CLOCK_MONOTONIC when it was
# done: at 5 frames a second a waiting client dequeues it within 50 ms.
case_mmap_frame_times() {
  start_frix --fps 5
  local stream
  for stream in first second; do
    with_ext "$STREAM_CLIENT" "$FRIX_NODE" --frames 20 --max-age-ms 50 >"$stream.txt" ||
      { cat "$stream.txt"; fail "the $stream stream"; }
    expect_file_match "$stream.txt" 'V4L2 sequences 0 to 19'
  done
}

case_mmap_gstreamer() {
  start_frix
  with_ext gst-launch-1.0 -q v4l2src device="$FRIX_NODE" io-mode=mmap num-buffers=8 \
    ! video/x-raw,format=YUY2,width=640,height=480 ! filesink location=frames.raw
  "$FRAME_CHECK" --size 640x480 --format YUYV --min-frames 8 frames.raw
}

case_mmap_client_killed_mid_stream() {
  start_frix
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=100000 \
    --stream-to=killed.raw &
  local client=$!
  wait_until 60 test -s killed.raw || fail "the first client got no frame"
  kill -KILL "$client"
  wait "$client" 2>/dev/null || true
  with_ext v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=6 --stream-to=frames.raw
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 6 frames.raw
}

# With --shared-streaming every file that streams gets every frame in buffers of its own:
# two v4l2-ctl streams, an ffmpeg capture and a read() client at once, while the first
# streamer and a joiner are killed mid-stream and another asks for another format.
case_mmap_shared_streaming() {
  # 15 frames a second and 16 buffers: a client the emulated machine leaves unscheduled
  # for a second still misses no frame.
  start_frix --shared-streaming --fps 15
  # After one stream: what the first open sets up for good is no leak.
  with_ext v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=1 --stream-to=/dev/null
  local fds_before
  fds_before=$(ls /proc/"$FRIX_PID"/fd | wc -l)
  # Not through with_ext: $! must be v4l2-ctl itself, not a subshell around it.
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=100000 \
    --stream-to=killed.raw >killed.txt 2>&1 &
  local victim=$!
  wait_until 60 test -s killed.raw || fail "the first stream got no frame"
  local name pids=()
  for name in first second; do
    with_ext v4l2-ctl -d "$FRIX_NODE" --stream-mmap=16 --stream-count=150 --stream-to=$name.raw \
      >$name.txt 2>&1 &
    pids+=($!)
  done
  with_ext ffmpeg -nostdin -loglevel verbose -f v4l2 -input_format yuyv422 -video_size 640x480 \
    -i "$FRIX_NODE" -frames:v 150 -fps_mode passthrough -c:v rawvideo -f rawvideo ffmpeg.raw \
    2>ffmpeg.txt &
  pids+=($!)
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=100000 \
    --stream-to=joiner.raw >joiner.txt 2>&1 &
  local joiner=$!
  "$STREAM_CLIENT" "$FRIX_NODE" --io read --frames 30 >reader.txt 2>&1 &
  pids+=($!)
  wait_until 60 test -s first.raw -a -s second.raw -a -s ffmpeg.raw -a -s joiner.raw ||
    fail "the joining streams got no frames"

  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=1280,height=720 >other.txt 2>&1 || true
  expect_file_match other.txt 'VIDIOC_S_FMT: failed: Device or resource busy'
  kill -KILL "$victim" "$joiner"
  wait "$victim" "$joiner" 2>/dev/null || true
  local killed_size
  killed_size=$(stat -c %s killed.raw)

  local pid
  for pid in "${pids[@]}"; do wait "$pid" || { tail ffmpeg.txt first.txt; fail "a stream failed"; }; done
  expect_eq "$(stat -c %s killed.raw)" "$killed_size" "the killed stream's size after the kill"
  if grep -n 'failed' killed.txt; then fail "the first streamer failed before it was killed"; fi
  expect_file_match reader.txt '^30 frames intact'
  for name in first second ffmpeg; do
    "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 150 $name.raw ||
      fail "$name.raw: not every frame, in order"
  done
  expect_file_match "$CASE_DIR/frix.log" 'The shared stream of process [0-9]+ got [0-9]+ of [0-9]+ frames'
  local left
  left=$(shm_files)
  [ "$(grep -c . <<<"$left")" -eq 1 ] || fail "buffer files left in /dev/shm: $left"
  wait_until 30 test "$(ls /proc/"$FRIX_PID"/fd | wc -l)" -eq "$fds_before" ||
    fail "frix holds $(ls -l /proc/"$FRIX_PID"/fd), $fds_before files before the streams"
  rm -f ./*.raw
}

case_mmap_leaves_only_the_segment() {
  start_frix
  with_ext v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=3 --stream-to=/dev/null
  local left
  left=$(shm_files)
  echo "after the last close: $left"
  [ "$(grep -c . <<<"$left")" -eq 1 ] && grep -q 'i$' <<<"$left" ||
    fail "expected only the mapping segment in /dev/shm, found: $left"
  stop_frix TERM
  expect_eq "$FRIX_STATUS" 0 "exit status"
  expect_eq "$(shm_files)" "" "files in /dev/shm after exit"
}

case_mmap_without_preload_refused() {
  start_frix --extension-presence 2
  v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=1 --stream-to=frames.raw >ctl.txt 2>&1 || true
  expect_file_match ctl.txt 'VIDIOC_REQBUFS.*Invalid argument'
  [ ! -s frames.raw ] || fail "a client without the preload library received frames"
}

case_compliance_streaming() {
  source "$(dirname "${BASH_SOURCE[0]}")/50-compliance.sh"
  expect_log "${COMPLIANCE_STREAMING_LOG[@]}"
  start_frix
  with_ext v4l2-compliance -d "$FRIX_NODE" -s >compliance-streaming.txt 2>&1 || true
  check_compliance_report compliance-streaming.txt "$COMPLIANCE_STREAMING_EXPECTED_FAILURES"
}

# Buffer files belong to the user whose request made them, with REQBUFS and CREATE_BUFS
# alike, and nobody else may touch them.
case_mmap_buffer_files_belong_to_the_requester() {
  local ioctl numbers first request out
  ioctl=$(dirname "${BASH_SOURCE[0]}")/../tools/ioctl.py
  start_frix
  chgrp video "$FRIX_NODE" && chmod 0660 "$FRIX_NODE" || fail "cannot give $FRIX_NODE to video"
  read -r -a numbers < <(stat -c '%t %T' "$FRIX_NODE")
  first=/dev/shm/frix_$((16#${numbers[0]}))_$((16#${numbers[1]}))i0
  # One MMAP capture buffer each: REQBUFS count, type, memory; CREATE_BUFS count, memory,
  # format type and an image larger than any format's.
  for request in "REQBUFS 0=1 4=1 8=1" "CREATE_BUFS 4=1 8=1 16=1 44=33554432"; do
    # shellcheck disable=SC2086  # the request's words are separate arguments
    out=$(setpriv --reuid 1001 --regid 1001 --groups 44 env LD_PRELOAD="$FRIX_EXT" \
      python3 "$ioctl" "$FRIX_NODE" $request --then "stat -c '%u %g %a' $first" 2>&1)
    expect_eq "$out" "ok
1001 1001 600" "${request%% *}'s buffer file"
  done
}
