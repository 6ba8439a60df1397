# shellcheck shell=bash
# The writer node: producers written for loopback cameras (ffmpeg -f v4l2, GStreamer's
# v4l2sink, v4l2-ctl --stream-out-mmap) feed the camera through an output node.

# shellcheck source=../feed.sh
source "$(dirname "${BASH_SOURCE[0]}")/../feed.sh"

WRITER=/dev/video21
FRIX_RUN=$FRIX_BUILD/bin/frix-run
WRITE_FRAMES=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/scripts/write-frames.py

start_writer_feed() {
  start_feed --sizes 320x240 --writer-node video21 "$@"
  wait_until 30 test -c "$WRITER" || { cat "$CASE_DIR/frix.log" >&2; fail "no writer node $WRITER"; }
}

# capture FILE: one RGB24 320x240 frame of the camera, as a consumer of the capture node sees it.
capture() {
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=320,height=240,pixelformat=RGB3 \
    --stream-mmap --stream-count=1 --stream-to="$1"
}

# shows R G B: the camera's picture is, on average, that colour (within 40 a channel).
shows() {
  capture seen.raw && python3 - seen.raw "$@" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
want = [int(v) for v in sys.argv[2:5]]
if len(data) != 320 * 240 * 3:
    sys.exit(f"{len(data)} bytes, not one RGB24 320x240 frame")
mean = [sum(data[c::3]) / (320 * 240) for c in range(3)]
sys.exit(0 if all(abs(m - w) <= 40 for m, w in zip(mean, want)) else f"mean colour {mean}")
PY
}

case_writer_node_takes_ffmpeg_gstreamer_and_v4l2_ctl() {
  ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=0x00ff00:size=320x240 -frames:v 1 card.png
  start_writer_feed --card-label "Desk cam" --idle-timeout 1000 --placeholder "$CASE_DIR/card.png"
  expect_eq "$(stat -c %G:%a "$WRITER")" "$(stat -c %G:%a "$FRIX_NODE")" "writer node group and mode"
  local info
  info=$(v4l2-ctl -d "$WRITER" --info)
  expect_match "$info" 'Card type +: Desk cam \(writer\)'
  expect_match "$(sed -n '/Device Caps/,$p' <<<"$info")" 'Video Output'
  ! sed -n '/Device Caps/,$p' <<<"$info" | grep -q 'Video Capture' || fail "the writer node captures: $info"
  expect_match "$(v4l2-ctl -d "$FRIX_NODE" --info)" 'Card type +: Desk cam'$'\n'
  wait_until 10 shows 0 255 0 || fail "no placeholder before any writer"

  # ffmpeg's v4l2 output device, without the preload library: one write() a frame.
  ffmpeg -nostdin -loglevel error -re -f lavfi -i color=c=red:size=640x480:rate=30 \
    -pix_fmt yuyv422 -f v4l2 "$WRITER" >ffmpeg.log 2>&1 &
  local producer=$!
  wait_log 30 'Writer ffmpeg \(pid [0-9]+\) sends YUYV 640x480 to /dev/video21'
  wait_until 10 shows 255 0 0 || fail "ffmpeg's red did not reach the camera"
  kill "$producer"
  wait "$producer" || true
  wait_log 10 'feed: writer disconnected'

  # GStreamer's v4l2sink through frix-run: NV12 1280x720 in memory-mapped output buffers.
  "$FRIX_RUN" gst-launch-1.0 -q videotestsrc pattern=solid-color foreground-color=0xff0000ff \
    is-live=true ! video/x-raw,format=NV12,width=1280,height=720,framerate=30/1 \
    ! v4l2sink device="$WRITER" >gst.log 2>&1 &
  producer=$!
  wait_log 30 'Writer gst-launch-1.0 \(pid [0-9]+\) sends NV12 1280x720 to /dev/video21'
  wait_until 10 shows 0 0 255 || { cat gst.log >&2; fail "GStreamer's blue did not reach the camera"; }
  kill -INT "$producer"
  wait "$producer" || true
  wait_log 10 'feed: writer disconnected.*gst-launch'

  # The Python writer of the README: S_FMT and write() from the standard library.
  python3 "$WRITE_FRAMES" "$WRITER" 640x480 ffff00 >python.log 2>&1 &
  producer=$!
  wait_log 30 'Writer python3 \(pid [0-9]+\) sends YUYV 640x480 to /dev/video21'
  wait_until 10 shows 255 255 0 || { cat python.log >&2; fail "Python's yellow did not reach the camera"; }
  kill "$producer"
  wait "$producer" || true
  wait_log 10 'feed: writer disconnected.*python3'

  # v4l2-ctl's own test pattern, 600 mapped frames, while a consumer streams.
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=320,height=240,pixelformat=YUYV \
    --stream-mmap --stream-count=300 --stream-to=/dev/null >consumer.txt 2>&1 &
  local consumer=$!
  with_ext v4l2-ctl -d "$WRITER" --set-fmt-video-out=width=320,height=240,pixelformat=YUYV \
    --stream-out-mmap --stream-count=600 >writer.txt 2>&1 || { cat writer.txt >&2; fail "v4l2-ctl could not write"; }
  expect_eq "$(tr -cd '>' <writer.txt | wc -c)" 600 "frames written"
  wait "$consumer" || { cat consumer.txt >&2; fail "the consumer failed while v4l2-ctl wrote"; }
  expect_eq "$(tr -cd '<' <consumer.txt | wc -c)" 300 "frames the consumer got"

  # Nobody writes: the placeholder is back after the idle timeout.
  wait_until 20 shows 0 255 0 || fail "the placeholder did not come back"
  ! grep -E '<error>' frix.log || fail "frix logged errors"
}

case_writer_node_compliance_and_refusals() {
  expect_log '^<alert> \[core\] --writer-node needs --driver feed: only the feed driver takes frames from a writer node$'
  "$FRIX" -f --driver pattern --video_nr 0 --writer-node video21 >pattern.log 2>&1 &&
    fail "the pattern driver took --writer-node"
  grep -q -- '--writer-node needs --driver feed' pattern.log || { cat pattern.log >&2; fail "no clear refusal"; }
  [ ! -e "$WRITER" ] && [ ! -e /dev/video0 ] || fail "a refused start left a node"
  expect_log '^<alert> \[core\] --writer-node names the camera.s own node, /dev/video21: give the writer node a name of its own$'
  "$FRIX" -f --driver feed --video_nr 21 --writer-node video21 >same.log 2>&1 &&
    fail "the writer node took the camera's name"
  grep -q 'names the camera' same.log || { cat same.log >&2; fail "no clear refusal of one name for both"; }

  start_writer_feed
  v4l2-compliance -d "$WRITER" >compliance.txt 2>&1 || true
  grep -E '^Total' compliance.txt || fail "v4l2-compliance produced no totals"
  grep -qE '^Total.*Failed: 0,' compliance.txt || { grep -E 'fail:|FAIL' compliance.txt; fail "compliance failures"; }

  # A second writer is refused while the first one streams; the first goes on.
  with_ext v4l2-ctl -d "$WRITER" --set-fmt-video-out=width=320,height=240,pixelformat=UYVY \
    --stream-out-mmap --stream-count=300 >first.txt 2>&1 &
  local first=$!
  wait_log 30 'Writer v4l2-ctl .* sends UYVY 320x240'
  local second
  second=$(head -c 153600 /dev/zero | dd of="$WRITER" bs=153600 2>&1) && fail "a second writer wrote: $second"
  expect_match "$second" 'Device or resource busy'
  wait "$first" || { cat first.txt >&2; fail "the first writer failed"; }

  # A write() that is not one frame fails alone (the format stays the last writer's).
  local result
  result=$(head -c 1000 /dev/zero | dd of="$WRITER" bs=1000 2>&1) && fail "a short write passed: $result"
  expect_match "$result" 'Invalid argument'
  expect_log '^<warning> \[core\] Writer dd \(pid [0-9]+\) wrote 1000 bytes, but a frame of UYVY 320x240 is 153600 bytes$'
  grep -qE 'Writer dd .* wrote 1000 bytes' frix.log || fail "no warning for the short write"
}
