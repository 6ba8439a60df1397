# shellcheck shell=bash
# The feed driver: producers (ffmpeg, GStreamer) write to its pipe, V4L2 clients stream.

# shellcheck source=../feed.sh
source "$(dirname "${BASH_SOURCE[0]}")/../feed.sh"

# A one-picture y4m file of ffmpeg's testsrc: testsrc_y4m FILE WxH.
testsrc_y4m() {
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "testsrc=size=$2:rate=30" -frames:v 1 \
    -pix_fmt yuv420p "$1"
}

# An ffmpeg producer repeating FILE at 30 fps in the background; its pid in PRODUCER.
start_producer() {
  ffmpeg -nostdin -loglevel error -re -stream_loop -1 -i "$1" -f yuv4mpegpipe -y "$FEED_PIPE" \
    >>"$CASE_DIR/producer.log" 2>&1 &
  PRODUCER=$!
}

stop_producer() {
  kill -"${1:-TERM}" "$PRODUCER" 2>/dev/null
  wait "$PRODUCER" 2>/dev/null || true
}

# reference FILE FORMAT [filter]: FILE's picture as ffmpeg converts it, raw.
reference() {
  ffmpeg -nostdin -loglevel error -y -i "$1" ${3:+-vf "$3"} -pix_fmt "$2" -f rawvideo "$2.ref"
}

# same_frames CAPTURE REFERENCE COUNT: COUNT frames, each byte for byte the reference.
same_frames() {
  python3 - "$@" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
ref = open(sys.argv[2], 'rb').read()
n = int(sys.argv[3])
if len(data) != n * len(ref):
    sys.exit(f"{sys.argv[1]}: {len(data)} bytes, expected {n} frames of {len(ref)}")
bad = [i for i in range(n) if data[i * len(ref):(i + 1) * len(ref)] != ref]
if bad:
    sys.exit(f"{sys.argv[1]}: frames {bad[:10]} differ from {sys.argv[2]}")
PY
}

# min_psnr CAPTURE REFERENCE PIXFMT WxH LIMIT: every frame's PSNR against the reference's
# one picture is at least LIMIT dB.
min_psnr() {
  local line worst
  line=$(ffmpeg -nostdin -hide_banner -f rawvideo -pix_fmt "$3" -s "$4" -i "$1" \
    -f rawvideo -pix_fmt "$3" -s "$4" -i "$2" -lavfi psnr -f null - 2>&1 | grep 'PSNR ' | tail -n1)
  worst=$(sed -n 's/.* min:\([0-9.inf]*\).*/\1/p' <<<"$line")
  echo "$1 against $2: $line"
  [ -n "$worst" ] || fail "no PSNR for $1"
  awk -v p="$worst" -v limit="$5" 'BEGIN { exit !(p == "inf" || p + 0 >= limit) }' ||
    fail "$1: worst PSNR $worst dB, below $5 dB"
}

case_feed_ffmpeg_producer_exact_and_converted() {
  start_feed --sizes 640x480,320x240
  testsrc_y4m src.y4m 640x480
  start_producer src.y4m
  wait_log 30 'notice> \[driver\] feed: producer connected: y4m 640x480 420jpeg 30/1 fps'

  # Same size, same layout: the producer's bytes.
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=640,height=480,pixelformat=YU12 \
    --stream-mmap --stream-count=10 --stream-to=yu12.raw
  reference src.y4m yuv420p
  same_frames yu12.raw yuv420p.ref 10
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=640,height=480,pixelformat=NV12 \
    --stream-mmap --stream-count=10 --stream-to=nv12.raw
  reference src.y4m nv12
  same_frames nv12.raw nv12.ref 10

  # Converted, and converted and scaled: close to what ffmpeg makes of the source.
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=640,height=480,pixelformat=YUYV \
    --stream-mmap --stream-count=10 --stream-to=yuyv.raw
  reference src.y4m yuyv422
  min_psnr yuyv.raw yuyv422.ref yuyv422 640x480 40
  with_ext ffmpeg -nostdin -loglevel error -f v4l2 -input_format rgb24 -video_size 640x480 \
    -i "$FRIX_NODE" -frames:v 10 -fps_mode passthrough -f rawvideo rgb.raw
  reference src.y4m rgb24
  min_psnr rgb.raw rgb24.ref rgb24 640x480 40
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=320,height=240,pixelformat=YUYV \
    --stream-mmap --stream-count=10 --stream-to=small.raw
  ffmpeg -nostdin -loglevel error -y -i src.y4m -vf scale=320:240:flags=bilinear -pix_fmt yuyv422 \
    -f rawvideo small.ref
  min_psnr small.raw small.ref yuyv422 320x240 40

  stop_producer
  wait_log 10 'notice> \[driver\] feed: producer (disconnected|dropped)'
  ! grep -E '<error>' frix.log || fail "frix logged errors"
}

# 600 frames at 30 fps while the producer is killed and another starts at another size.
case_feed_producer_restarts_at_another_size() {
  start_feed --sizes 320x240 --fps 30
  testsrc_y4m a.y4m 320x240
  testsrc_y4m b.y4m 640x360
  start_producer a.y4m
  wait_log 30 'producer connected: y4m 320x240'
  # Frames are counted, not stored: in the VM, storing them is slower than 30 fps.
  local start
  start=$(date +%s%N)
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=320,height=240,pixelformat=YUYV \
    --stream-mmap --stream-count=600 --stream-to=/dev/null >ctl.txt 2>&1 &
  local client=$!
  wait_until 60 bash -c "[ \$(tr -cd '<' <ctl.txt | wc -c) -ge 100 ]" ||
    fail "the client got fewer than 100 frames"
  stop_producer KILL
  start_producer b.y4m
  wait_log 30 'producer connected: y4m 640x360'
  wait "$client" || { cat ctl.txt >&2; fail "v4l2-ctl failed while the producer restarted"; }
  local took=$((($(date +%s%N) - start) / 1000000))
  echo "600 frames in $took ms; v4l2-ctl's rates: $(grep -o '[0-9.]* fps' ctl.txt | tr '\n' ' ')"
  expect_eq "$(tr -cd '<' <ctl.txt | wc -c)" 600 "frames dequeued"
  # 20 s at 30 fps (and v4l2-ctl's start): no burst, and in no second of it (v4l2-ctl
  # reports each) a stall while the producer changed. The VM's emulation costs a few fps.
  [ "$took" -ge 19000 ] && [ "$took" -le 25000 ] || fail "600 frames took $took ms, not about 20 s"
  grep -o '[0-9.]* fps' ctl.txt | awk '$1 < 24 { bad = 1 } END { exit bad }' ||
    fail "a second with fewer than 24 frames"
  ! grep -qiE 'error|fail' ctl.txt || { cat ctl.txt >&2; fail "v4l2-ctl reported an error"; }
  # Now the second producer's picture, scaled down as ffmpeg scales it.
  with_ext v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=3 --stream-to=last.raw
  stop_producer
  ffmpeg -nostdin -loglevel error -y -i b.y4m -vf scale=320:240:flags=bilinear -pix_fmt yuyv422 \
    -f rawvideo last.ref
  min_psnr last.raw last.ref yuyv422 320x240 40
}

case_feed_placeholder_when_no_producer_runs() {
  ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=320x240 -frames:v 1 card.png
  ffmpeg -nostdin -loglevel error -y -i card.png -pix_fmt rgb24 -f rawvideo card.ref
  start_feed --sizes 320x240 --placeholder "$CASE_DIR/card.png" --idle-timeout 500
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=320,height=240,pixelformat=RGB3 \
    --stream-mmap --stream-count=5 --stream-to=before.raw
  same_frames before.raw card.ref 5

  # A producer comes and goes; half a second later the placeholder is back.
  testsrc_y4m src.y4m 640x480
  start_producer src.y4m
  wait_log 30 'producer connected'
  stop_producer
  wait_log 10 'producer (disconnected|dropped)'
  wait_until 20 bash -c "LD_PRELOAD=$FRIX_EXT v4l2-ctl -d $FRIX_NODE --stream-mmap --stream-count=1 \
    --set-fmt-video=width=320,height=240,pixelformat=RGB3 --stream-to=probe.raw && cmp -s probe.raw card.ref" ||
    fail "the placeholder did not come back after the producer left"
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=320,height=240,pixelformat=RGB3 \
    --stream-mmap --stream-count=5 --stream-to=after.raw
  same_frames after.raw card.ref 5
}

case_feed_builtin_card() {
  start_feed --sizes 640x480
  with_ext v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=3 --stream-to=card.raw
  python3 - card.raw <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
frame = 640 * 480 * 2
assert len(data) == 3 * frame, len(data)
assert data[:frame] == data[frame:2 * frame] == data[2 * frame:], "the card changes"
luma = lambda x, y: data[(y * 640 + x) * 2]
# 75% grey bar at the top left, dark band at the bottom.
assert abs(luma(10, 10) - 180) <= 2 and abs(luma(320, 470) - 44) <= 2, (luma(10, 10), luma(320, 470))
PY
}

case_feed_gstreamer_producer() {
  start_feed --sizes 320x240
  local caps=video/x-raw,format=I420,width=320,height=240,framerate=30/1
  gst-launch-1.0 -q videotestsrc pattern=smpte100 num-buffers=1 ! "$caps" ! filesink location=ref.i420
  gst-launch-1.0 -q videotestsrc pattern=smpte100 is-live=true ! "$caps" ! y4menc \
    ! filesink location="$FEED_PIPE" >gst.log 2>&1 &
  PRODUCER=$!
  wait_log 30 'producer connected: y4m 320x240'
  with_ext v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=320,height=240,pixelformat=YU12 \
    --stream-mmap --stream-count=8 --stream-to=frames.raw
  stop_producer INT
  same_frames frames.raw ref.i420 8
}

