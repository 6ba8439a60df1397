# shellcheck shell=bash
# The publish output: H.264 to an RTSP server (ffmpeg as an ANNOUNCE/RECORD listener) and
# an SRT listener, from a child that runs as nobody, beside a V4L2 application.

ip link set lo up
RTSP_URL=rtsp://127.0.0.1:8554/cam
SRT_URL=srt://127.0.0.1:9710

# listen_rtsp FILE FRAMES: an RTSP server that records FRAMES decoded frames as raw
# 4:2:0 and ends; in the background, its PID in LISTENER.
listen_rtsp() {
  timeout 120 ffmpeg -nostdin -loglevel error -rtsp_flags listen -i "$RTSP_URL" \
    -frames:v "$2" -fps_mode passthrough -f rawvideo -pix_fmt yuv420p "$1" >"$1.err" 2>&1 &
  LISTENER=$!
  # Bound before frix's next try, which may come at once.
  wait_until 60 bash -c "ss -ltn | grep -q ':8554 '" || fail "the RTSP listener does not listen"
}

# received FILE FRAMES: the listener ended with FRAMES whole 640x480 frames (each one
# frame sent: the listeners pass timestamps through rather than fill gaps).
received() {
  wait_until 90 bash -c "! kill -0 $LISTENER 2>/dev/null" ||
    { cat "$CASE_DIR/frix.log"; fail "the listener did not get $2 frames: $(cat "$1.err")"; }
  wait "$LISTENER" || fail "the listener failed: $(cat "$1.err")"
  expect_eq "$(stat -c %s "$1")" $(($2 * 460800)) "bytes of $2 decoded frames in $1"
}

# looks_like_the_pattern FILE N: frame N of FILE against the application's first frame.
looks_like_the_pattern() {
  dd if="$1" of="$1.one" bs=460800 skip="$2" count=1 status=none
  ffmpeg -nostdin -loglevel info -f rawvideo -pix_fmt yuv420p -s 640x480 -i "$1.one" \
    -f rawvideo -pix_fmt yuv420p -s 640x480 -i reference.yuv -lavfi psnr -f null - 2>"$1.psnr"
  local db
  db=$(grep -o 'average:[0-9.inf]*' "$1.psnr" | cut -d: -f2)
  echo "$1 frame $2: PSNR $db dB against the pattern"
  awk -v db="$db" 'BEGIN { exit !(db == "inf" || db + 0 >= 30) }' || fail "$1: PSNR $db dB < 30 dB"
}

# A pattern frame as the application sees it, as 4:2:0 for the comparisons.
reference_from() {
  dd if="$1" of=reference.yuyv bs=614400 count=1 status=none
  ffmpeg -nostdin -loglevel error -f rawvideo -pix_fmt yuyv422 -s 640x480 -i reference.yuyv \
    -f rawvideo -pix_fmt yuv420p reference.yuv
}

publish_field() {
  curl -sf --max-time 10 -u ":$(cat /run/frix/video0.token)" http://127.0.0.1:9000/status |
    python3 -c "import json, sys; print(json.load(sys.stdin)['publish'][0]['$1'])"
}

publishing_child_is_nobody() {
  local child nobody
  child=$(pgrep -x frix-publish) || return 1
  nobody=$(id -u nobody)
  [ "$(awk '/^Uid:/ { print $2 $3 $4 $5 }' "/proc/$child/status" 2>/dev/null)" = "$nobody$nobody$nobody$nobody" ]
}

sent_at_least() {
  [ "$(publish_field frames_sent)" -ge "$1" ] 2>/dev/null
}

state_is() {
  [ "$(publish_field state)" = "$1" ]
}

case_publish_rtsp_pattern_beside_an_app_and_after_a_restart() {
  listen_rtsp first.yuv 90
  start_frix --verbosity=6 --mode static --enable-server=required \
    --server-option="--publish=$RTSP_URL" --server-option=--port=9000
  # The child starts as root and drops to nobody before it opens anything.
  wait_until 20 publishing_child_is_nobody || fail "no frix-publish child running as nobody"
  local child
  child=$(pgrep -x frix-publish)
  expect_eq "$(awk '/^Groups:/ { print $2 }' "/proc/$child/status")" "" "the child's groups"
  expect_eq "$(awk '/^CapEff:/ { print $2 }' "/proc/$child/status")" 0000000000000000 \
    "the child's capabilities"

  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=100 \
    --stream-to=app.raw 2>app.err &
  local app=$!
  received first.yuv 90
  wait "$app" || fail "the application failed while frix published: $(cat app.err)"
  "$FRAME_CHECK" --size 640x480 --format YUYV --mode static --min-frames 100 app.raw ||
    fail "the application's frames are not the pattern's while frix publishes"
  reference_from app.raw
  looks_like_the_pattern first.yuv 0
  looks_like_the_pattern first.yuv 89
  expect_file_match "$CASE_DIR/frix.log" \
    "^<notice> \[server\] Publishing H.264 to $RTSP_URL at 2000 kbit/s$"

  # The server went away: one notice, retries, then frames again from the same frix.
  wait_until 30 grep -q "Publishing to $RTSP_URL: .*; retrying in 1 s" "$CASE_DIR/frix.log" ||
    { cat "$CASE_DIR/frix.log"; fail "no notice that the server went away"; }
  wait_until 20 state_is retrying || fail "/status does not show the target retrying"
  listen_rtsp second.yuv 60
  received second.yuv 60
  looks_like_the_pattern second.yuv 59
  expect_eq "$(pgrep -x frix-publish)" "$child" "the child after the server's restart"
  expect_eq "$(grep -c "^<notice> \[server\] Publishing H.264 to $RTSP_URL" "$CASE_DIR/frix.log")" 2 \
    "notices of publishing"

  # The child reports its counts once a second and at each change of state.
  wait_until 10 sent_at_least 150 ||
    fail "/status counts $(publish_field frames_sent) frames sent, fewer than the listeners got"
  echo "frames sent: $(publish_field frames_sent), dropped: $(publish_field frames_dropped)," \
    "state: $(publish_field state)"
  publish_field frames_dropped | grep -qE '^[0-9]+$' || fail "no dropped count in /status"
  stop_frix TERM
  expect_eq "$FRIX_STATUS" 0 "exit status of frix"
  wait_until 10 bash -c '! pgrep -x frix-publish' || fail "frix-publish outlived frix"
  expect_file_match "$CASE_DIR/frix.log" "^<notice> \[server\] Publishing to $RTSP_URL stopped$"
}

# No server at start: frix starts anyway, says so once, and publishes when one comes.
case_publish_srt_to_a_server_that_comes_later() {
  ffmpeg -hide_banner -protocols 2>/dev/null | grep -qx '  srt' || fail "this ffmpeg has no SRT"
  start_frix --verbosity=6 --mode static --enable-server=required \
    --server-option="--publish=$SRT_URL?latency=200000" --server-option=--bitrate=1500
  wait_until 30 grep -q "Publishing to $SRT_URL?latency=200000: cannot connect" "$CASE_DIR/frix.log" ||
    { cat "$CASE_DIR/frix.log"; fail "no notice about the missing SRT server"; }
  timeout 120 ffmpeg -nostdin -loglevel error -i "$SRT_URL?mode=listener" -frames:v 60 -fps_mode passthrough \
    -f rawvideo -pix_fmt yuv420p srt.yuv >srt.err 2>&1 &
  LISTENER=$!
  received srt.yuv 60
  dd if="$FRIX_NODE" of=raw.yuyv bs=614400 count=1 iflag=fullblock status=none ||
    fail "no frame from the node while frix publishes"
  reference_from raw.yuyv
  looks_like_the_pattern srt.yuv 59
  expect_eq "$(sed '/Publishing H.264 to/q' "$CASE_DIR/frix.log" |
    grep -c "Publishing to $SRT_URL?latency=200000: cannot connect")" 1 \
    "notices about the missing server before it came"
  expect_file_match "$CASE_DIR/frix.log" \
    "^<notice> \[server\] Publishing H.264 to $SRT_URL\?latency=200000 at 1500 kbit/s$"

  # A child that dies is replaced, and the new one publishes.
  local line="^<warning> \[server\] Publishing to $SRT_URL\?latency=200000: restarting frix-publish in 1 s$"
  expect_log "$line"
  local child
  child=$(pgrep -x frix-publish) || fail "no frix-publish"
  kill -KILL "$child"
  wait_until 20 grep -qE "$line" "$CASE_DIR/frix.log" || fail "the dead child went unnoticed"
  wait_until 20 bash -c "pgrep -x frix-publish | grep -vqx $child" || fail "no new child"
  timeout 120 ffmpeg -nostdin -loglevel error -i "$SRT_URL?mode=listener" -frames:v 30 -fps_mode passthrough \
    -f rawvideo -pix_fmt yuv420p again.yuv >again.yuv.err 2>&1 &
  LISTENER=$!
  received again.yuv 30
  looks_like_the_pattern again.yuv 29
}

case_publish_refuses_bad_targets_at_start() {
  local status=0
  # Without CAP_SETUID and CAP_SETGID no child can drop to nobody; the unit keeps them.
  timeout 60 setpriv --bounding-set=-setuid,-setgid "$FRIX" -f --driver pattern --video_nr 0 \
    --enable-server=required --server-option=--publish=$RTSP_URL >unit.txt 2>&1 || status=$?
  expect_eq "$status" 1 "exit status without CAP_SETUID and CAP_SETGID"
  expect_file_match unit.txt \
    "cannot become user $(id -u nobody): Operation not permitted \(frix needs CAP_SETUID and CAP_SETGID to publish\)"
  bounded_by_the_unit
  FRIX=$CASE_DIR/frix-bounded start_frix --enable-server=required --server-option=--publish=$RTSP_URL
  wait_until 30 grep -q "Publishing to $RTSP_URL: cannot connect" "$CASE_DIR/frix.log" ||
    { cat "$CASE_DIR/frix.log"; fail "no publishing with the unit's capabilities"; }
  stop_frix TERM
  status=0
  timeout 60 "$FRIX" -f --driver pattern --video_nr 0 --enable-server=required \
    --server-option=--publish=ftp://127.0.0.1/cam >ftp.txt 2>&1 || status=$?
  expect_eq "$status" 1 "exit status with an unknown scheme"
  expect_file_match ftp.txt "--publish ftp://127.0.0.1/cam: unknown scheme 'ftp': use rtsp:// or srt://"
  status=0
  timeout 60 "$FRIX" -f --driver pattern --video_nr 0 --enable-server=required \
    --server-option=--publish=$RTSP_URL --server-option=--encoder=vaapi >vaapi.txt 2>&1 || status=$?
  expect_eq "$status" 1 "exit status with VA-API and no render node"
  expect_file_match vaapi.txt "^<alert> \[core\] Cannot start the streaming server: no VA-API render node$"
}
