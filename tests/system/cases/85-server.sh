# shellcheck shell=bash
# The streaming server plug-in with real HTTP clients: pictures, rates, credentials,
# HTTPS, and the camera handed back to V4L2 applications.

SERVER_URL=http://127.0.0.1:9000
TOKEN_FILE=/run/frix/video0.token
# The credential of the server started last: its token, any user name.
AUTH=()

# The guest boots with its loopback interface down.
ip link set lo up

# wait_for_server: every wait for the network is bounded.
wait_for_server() {
  wait_until 30 curl -s --max-time 2 -o /dev/null "$SERVER_URL/" || fail "the server does not answer"
}

# start_server [frix options...]: frix with the server required, waiting until it answers.
start_server() {
  start_frix --enable-server=required --server-option=--port=9000 "$@"
  wait_for_server
  use_token
}

use_token() {
  wait_until 10 test -s "$TOKEN_FILE" || fail "no token in $TOKEN_FILE"
  AUTH=(-u ":$(cat "$TOKEN_FILE")")
}

# refused_start LOG [frix options...]: frix must end by itself with a failure status.
refused_start() {
  local log=$1 status=0
  shift
  timeout 60 "$FRIX" -f --driver pattern --video_nr 0 --enable-server=required "$@" \
    >"$log" 2>&1 || status=$?
  [ "$status" -ne 0 ] && [ "$status" -ne 124 ] || fail "frix started (status $status)"
}

http_code() {
  curl -s -o /dev/null -w '%{http_code}' --max-time 20 "$@"
}

status_field() {
  curl -sf --max-time 10 "${AUTH[@]}" "${@:2}" "$SERVER_URL/status" | grep -o "\"$1\":[^,}]*" | cut -d: -f2-
}

viewers_are() {
  [ "$(status_field viewers)" = "$1" ]
}

# A frame read from the node with read() I/O, retried while the server still holds it.
read_raw_frame() {
  wait_until 20 dd if="$FRIX_NODE" of="$1" bs="$2" count=1 iflag=fullblock status=none 2>/dev/null ||
    fail "no frame from $FRIX_NODE"
}

# psnr A B WxH: PSNR in dB over all planes of two raw planar 4:2:2 pictures.
psnr() {
  local w=${3%x*} h=${3#*x}
  ffmpeg -nostdin -loglevel info -f rawvideo -pix_fmt gray -s "${w}x$((h * 2))" -i "$1" \
    -f rawvideo -pix_fmt gray -s "${w}x$((h * 2))" -i "$2" -lavfi psnr -f null - 2>psnr.txt
  grep -o 'average:[0-9.inf]*' psnr.txt | cut -d: -f2
}

case_server_snapshot_matches_the_pattern() {
  start_server --verbosity=6 --mode static --server-option=--quality=90
  curl -sf --max-time 20 "${AUTH[@]}" -o snap.jpg "$SERVER_URL/snapshot.jpg" || fail "no snapshot"
  expect_eq "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 snap.jpg)" \
    "640,480" "snapshot size"
  read_raw_frame raw.yuyv 614400
  # Both sides as raw planes without any range conversion: the JPEG keeps the camera's
  # bytes, the comparison must too.
  ffmpeg -nostdin -loglevel error -f rawvideo -pix_fmt yuyv422 -s 640x480 -i raw.yuyv \
    -f rawvideo -pix_fmt yuv422p raw.planes
  ffmpeg -nostdin -loglevel error -i snap.jpg -f rawvideo -pix_fmt yuvj422p snap.planes
  local db
  db=$(psnr snap.planes raw.planes 640x480)
  echo "snapshot PSNR against the raw frame: $db dB"
  awk -v db="$db" 'BEGIN { exit !(db == "inf" || db + 0 >= 35) }' || fail "PSNR $db dB < 35 dB"

  # The same through the RGB24 path, against a picture of another kind.
  stop_frix TERM
  start_server --mode static --format RGB24 --size 320x240 --pattern checkerboard
  curl -sf --max-time 20 "${AUTH[@]}" -o snap-rgb.jpg "$SERVER_URL/snapshot.jpg" || fail "no RGB24 snapshot"
  read_raw_frame raw.rgb 230400
  ffmpeg -nostdin -loglevel error -i snap-rgb.jpg -f rawvideo -pix_fmt rgb24 snap.rgb
  ffmpeg -nostdin -loglevel info -f rawvideo -pix_fmt gray -s 960x240 -i snap.rgb \
    -f rawvideo -pix_fmt gray -s 960x240 -i raw.rgb -lavfi psnr -f null - 2>psnr-rgb.txt
  db=$(grep -o 'average:[0-9.inf]*' psnr-rgb.txt | cut -d: -f2)
  echo "RGB24 snapshot PSNR: $db dB"
  awk -v db="$db" 'BEGIN { exit !(db == "inf" || db + 0 >= 35) }' || fail "RGB24 PSNR $db dB < 35 dB"
}

case_server_four_viewers_and_a_v4l2_app_at_once() {
  # A rate that the emulated machine reaches with four viewers.
  local seconds=20 fps=5
  start_server --verbosity=6 --mode static --server-option=--fps=$fps
  local pids=() i
  for i in 1 2 3 4; do
    curl -s --max-time $seconds "${AUTH[@]}" -o "viewer$i.mjpg" "$SERVER_URL/stream.mjpg" &
    pids+=($!)
  done
  wait_until 20 viewers_are 4 || fail "status does not show 4 viewers: $(status_field viewers)"
  curl -sf --max-time 10 "${AUTH[@]}" -o status.txt "$SERVER_URL/status"
  expect_file_match status.txt '"width":640,"height":480,"pixelformat":"YUYV"'

  # The viewers own nothing: an application reads the camera while they watch.
  dd if="$FRIX_NODE" of=beside.raw bs=614400 count=4 iflag=fullblock status=none 2>busy.txt ||
    fail "a V4L2 application cannot read the camera while viewers watch: $(cat busy.txt)"
  "$FRAME_CHECK" --size 640x480 --format YUYV --mode static --min-frames 4 beside.raw ||
    fail "the frames read beside the viewers are not the pattern's"

  for i in "${pids[@]}"; do wait "$i" || true; done
  for i in 1 2 3 4; do
    local frames
    frames=$(grep -a -c -- '^--frixframe' "viewer$i.mjpg")
    echo "viewer $i: $frames frames in $seconds s"
    # Startup of the capture takes part of the first second.
    [ "$frames" -ge $((seconds * fps * 8 / 10)) ] && [ "$frames" -le $((seconds * fps * 11 / 10)) ] ||
      fail "viewer $i got $frames frames in $seconds s at $fps fps"
  done
  # Every part is a whole JPEG: the last complete one decodes to the camera's size.
  python3 - viewer1.mjpg last.jpg <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
parts = data.split(b'--frixframe\r\n')[1:-1]
assert parts, 'no complete part'
head, _, body = parts[-1].partition(b'\r\n\r\n')
length = int([l for l in head.split(b'\r\n') if l.lower().startswith(b'content-length:')][0].split(b':')[1])
assert body[:length].startswith(b'\xff\xd8') and body[length - 2:length] == b'\xff\xd9', 'not a JPEG'
assert body[length:] == b'\r\n', 'part does not end after its length'
open(sys.argv[2], 'wb').write(body[:length])
PY
  [ $? -eq 0 ] || fail "the stream's parts are not whole JPEGs"
  expect_eq "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 last.jpg)" \
    "640,480" "streamed frame size"

  wait_until 10 viewers_are 0 || fail "viewers left but status shows $(status_field viewers)"
  echo "sent $(status_field frames_sent), dropped $(status_field frames_dropped)"
  if grep -E 'has no libfrixext preloaded|\(frix\)' "$CASE_DIR/frix.log"; then
    fail "the daemon counted itself among the camera's clients"
  fi
}

# The default daemon: a viewer and a memory-mapped application stream at the same time,
# a snapshot comes while the application streams, and a viewer that stays is not
# disturbed by an application that dies mid-stream.
case_server_viewer_beside_an_mmap_app() {
  local run=$FRIX_BUILD/bin/frix-run
  start_server --verbosity=6
  curl -sf --max-time 120 "${AUTH[@]}" -o viewer.mjpg "$SERVER_URL/stream.mjpg" &
  local viewer=$!
  wait_until 30 grep -qa -- '^--frixframe' viewer.mjpg || fail "the viewer got no frame"
  local before started
  before=$(grep -a -c -- '^--frixframe' viewer.mjpg)
  started=$(date +%s%N)
  "$run" v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=150 --stream-to=app.raw &
  local app=$!
  wait_until 30 test -s app.raw || fail "the application got no frame beside the viewer"
  curl -sf --max-time 20 "${AUTH[@]}" -o snap.jpg "$SERVER_URL/snapshot.jpg" ||
    fail "no snapshot while an application streams"
  expect_eq "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 snap.jpg)" \
    "640,480" "snapshot size"
  wait "$app" || fail "the application failed beside the viewer"
  local elapsed during
  elapsed=$(awk -v a="$started" -v b="$(date +%s%N)" 'BEGIN { printf "%.1f", (b - a) / 1e9 }')
  during=$(($(grep -a -c -- '^--frixframe' viewer.mjpg) - before))
  echo "application: 150 frames; viewer: $during frames in $elapsed s beside it"
  expect_eq "$(stat -c %s app.raw)" "$((150 * 614400))" "the application's bytes"
  "$FRAME_CHECK" --size 640x480 --format YUYV --min-frames 150 app.raw ||
    fail "the application's frames are not the pattern's"
  awk -v n="$during" -v t="$elapsed" 'BEGIN { exit !(n >= 4 * t) }' ||
    fail "the viewer got $during frames in $elapsed s beside the application (< 4 a second)"

  # An application killed mid-stream leaves the viewer streaming.
  "$run" v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=100000 --stream-to=killed.raw &
  app=$!
  wait_until 30 test -s killed.raw || fail "the second application got no frame"
  kill -9 "$app"
  wait "$app" 2>/dev/null || true
  before=$(grep -a -c -- '^--frixframe' viewer.mjpg)
  wait_until 20 bash -c "[ \$(grep -a -c -- '^--frixframe' viewer.mjpg) -gt $((before + 5)) ]" ||
    fail "the viewer stopped getting frames after an application was killed"
  kill "$viewer" 2>/dev/null || true
  wait "$viewer" 2>/dev/null || true
}

case_server_password() {
  expect_log '^<warning> \[server\] --insecure-http: the password and the pictures cross the network unencrypted$'
  # On the case directory's share the owner is not root: secrets go in the guest's /tmp.
  local secrets
  secrets=$(mktemp -d /tmp/secrets.XXXXXX)
  echo s3cret >"$secrets/pw"
  chmod 600 "$secrets/pw"
  start_frix --enable-server=required --server-option=--bind=0.0.0.0 \
    --server-option=--insecure-http --server-option=--password-file="$secrets/pw"
  wait_for_server
  local path
  for path in / /status /snapshot.jpg /stream.mjpg /nowhere; do
    expect_eq "$(http_code "$SERVER_URL$path")" 401 "$path without a password"
    expect_eq "$(http_code -u viewer:wrong "$SERVER_URL$path")" 401 "$path with a wrong password"
  done
  # The sixth wrong guess within a minute is answered a second late at the earliest, and
  # the connection closes; the right password still gets in afterwards.
  local code took
  read -r code took < <(curl -s -o /dev/null -w '%{http_code} %{time_total}\n' --max-time 20 \
    -u viewer:wrong "$SERVER_URL/status")
  expect_eq "$code" 401 "the sixth wrong guess"
  awk -v took="$took" 'BEGIN { exit !(took >= 1.0) }' ||
    fail "the sixth wrong guess was answered after $took s"
  expect_eq "$(http_code -H 'Host: rebind.attacker.example' -u viewer:s3cret "$SERVER_URL/status")" \
    421 "a page of another site"
  curl -s --max-time 10 -D headers.txt -o /dev/null "$SERVER_URL/status"
  expect_file_match headers.txt '^WWW-Authenticate: Basic realm="video0"'
  expect_eq "$(http_code -u viewer:s3cret "$SERVER_URL/status")" 200 "/status with the password"
  expect_eq "$(http_code -u viewer:s3cret "$SERVER_URL/nowhere")" 404 "an unknown path"
  expect_eq "$(http_code -u viewer:s3cret -X POST "$SERVER_URL/status")" 405 "POST"
  curl -sf -u viewer:s3cret --max-time 20 -o snap.jpg "$SERVER_URL/snapshot.jpg" ||
    fail "no snapshot with the password"
  # Given by file, the password is on no command line and in no log line.
  if grep -qa s3cret /proc/[0-9]*/cmdline 2>/dev/null; then
    fail "the password is on a command line"
  fi
  if grep -qa s3cret "$CASE_DIR/frix.log"; then fail "the password is in the log"; fi
  [ ! -e "$TOKEN_FILE" ] || fail "a token was made although a password was given"
  stop_frix TERM

  # Plain HTTP on an address other than a loopback one is refused, and "required" ends frix.
  expect_log '^<(error|alert)> \[core\] streaming server: refusing to serve the camera on 0\.0\.0\.0 over plain HTTP' \
    '^<(error|alert)> \[core\] streaming server: refusing the password file .*/pw: its mode 0644 lets others read it; chmod 600 it$'
  refused_start plain.log --server-option=--bind=0.0.0.0 --server-option=--password-file="$secrets/pw"
  expect_file_match plain.log 'refusing to serve the camera on 0.0.0.0 over plain HTTP'
  # A password file that others may read is no secret.
  chmod 644 "$secrets/pw"
  refused_start readable.log --server-option=--port=9000 --server-option=--password-file="$secrets/pw"
  expect_file_match readable.log "refusing the password file $secrets/pw: its mode 0644 lets others read it; chmod 600 it"

  # systemd's LoadCredential= hands the password over in $CREDENTIALS_DIRECTORY.
  mkdir "$secrets/credentials"
  echo cred3ntial >"$secrets/credentials/frix-password"
  chmod 400 "$secrets/credentials/frix-password"
  CREDENTIALS_DIRECTORY=$secrets/credentials start_frix --enable-server=required \
    --server-option=--port=9000
  wait_for_server
  expect_eq "$(http_code -u any:cred3ntial "$SERVER_URL/status")" 200 "/status with the credential"
  expect_eq "$(http_code -u any:s3cret "$SERVER_URL/status")" 401 "/status with another password"
}

# Without a password the token file is the credential, and only the node's group reads it.
# Under the unit's capabilities, what parses the network is frix-http, as nobody.
case_server_token() {
  local video_gid member=4501 outsider=4502
  video_gid=$(getent group video | cut -d: -f3)
  # A directory that a user made in frix's place, with a token of their own, is replaced.
  rm -rf /run/frix
  mkdir -m 777 /run/frix
  echo planted >"$TOKEN_FILE"
  chown -R $outsider /run/frix
  bounded_by_the_unit
  FRIX=$CASE_DIR/frix-bounded start_server --mode static
  local child nobody viewer
  child=$(pgrep -x frix-http) || fail "no frix-http"
  nobody=$(id -u nobody)
  expect_eq "$(awk '/^Uid:/ { print $2, $3, $4, $5 }' "/proc/$child/status")" \
    "$nobody $nobody $nobody $nobody" "frix-http's user"
  expect_eq "$(awk '/^Groups:/ { print $2 }' "/proc/$child/status")" "" "frix-http's groups"
  expect_eq "$(awk '/^CapEff:/ { print $2 }' "/proc/$child/status")" 0000000000000000 \
    "frix-http's capabilities"
  expect_eq "$(awk '/^NoNewPrivs:/ { print $2 }' "/proc/$child/status")" 1 "frix-http's no-new-privs"
  # The daemon keeps the listening socket for a restart but never holds a connection.
  curl -s --max-time 60 "${AUTH[@]}" -o viewer.mjpg "$SERVER_URL/stream.mjpg" &
  viewer=$!
  wait_until 30 test -s viewer.mjpg || fail "the viewer got nothing"
  ss -Hltnp '( sport = :9000 )' >listening.txt
  ss -Htnp state established '( sport = :9000 )' >connections.txt
  cat listening.txt connections.txt
  expect_file_match connections.txt "\"frix-http\",pid=$child,"
  if grep -q '"frix",' connections.txt; then fail "the daemon holds a client's connection"; fi
  kill "$viewer"
  expect_eq "$(stat -c '%a %U %G' "$TOKEN_FILE")" "640 root video" "the token file"
  expect_eq "$(stat -c '%a %U' /run/frix)" "755 root" "the token's directory"
  [ "$(cat "$TOKEN_FILE")" != planted ] || fail "the planted token was kept"
  grep -qF "No password given: the token in $TOKEN_FILE is the password (any user name), e.g. curl -u :\$(cat $TOKEN_FILE) $SERVER_URL/snapshot.jpg" \
    "$CASE_DIR/frix.log" || fail "frix did not say how to use the token"
  if grep -qaF "$(cat "$TOKEN_FILE")" "$CASE_DIR/frix.log"; then fail "the token is in the log"; fi
  # A local user without the token: no picture, and no way to read the token.
  expect_eq "$(setpriv --reuid=$outsider --regid=$outsider --clear-groups \
    curl -s -o /dev/null -w '%{http_code}' --max-time 20 "$SERVER_URL/snapshot.jpg")" 401 \
    "a local user without the token"
  if setpriv --reuid=$outsider --regid=$outsider --clear-groups cat "$TOKEN_FILE" 2>/dev/null; then
    fail "a user outside the node's group read the token"
  fi
  # A member of the node's group reads it and gets the picture, with any user name.
  setpriv --reuid=$member --regid=$member --groups="$video_gid" bash -c \
    'curl -sf --max-time 20 -u ":$(cat "$1")" -o /tmp/member.jpg "$2/snapshot.jpg"' _ \
    "$TOKEN_FILE" "$SERVER_URL" || fail "the node's group cannot use the token"
  expect_eq "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 /tmp/member.jpg)" \
    "640,480" "the member's snapshot"
  expect_eq "$(http_code -u "anyone:$(cat "$TOKEN_FILE")" "$SERVER_URL/status")" 200 "any user name"
  stop_frix TERM
  [ ! -e "$TOKEN_FILE" ] || fail "the token outlived frix"
}

# With a certificate the port speaks HTTPS only: plain HTTP gets no picture.
case_server_https() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout key.pem -out cert.pem 2>openssl.txt ||
    fail "openssl cannot make a certificate"
  chmod 600 key.pem
  start_frix --enable-server=required --server-option=--port=9000 --mode static \
    --server-option=--tls-cert="$CASE_DIR/cert.pem" --server-option=--tls-key="$CASE_DIR/key.pem"
  wait_until 30 curl -s --max-time 2 --cacert cert.pem -o /dev/null https://127.0.0.1:9000/ ||
    fail "the HTTPS server does not answer"
  use_token
  expect_file_match "$CASE_DIR/frix.log" 'Streaming video0 on https://127\.0\.0\.1:9000/'
  curl -sf --max-time 20 --cacert cert.pem "${AUTH[@]}" -o snap.jpg \
    https://127.0.0.1:9000/snapshot.jpg || fail "no snapshot over HTTPS"
  expect_eq "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 snap.jpg)" \
    "640,480" "the HTTPS snapshot"
  expect_eq "$(curl -s --max-time 20 --cacert cert.pem -o /dev/null -w '%{http_code}' \
    https://127.0.0.1:9000/snapshot.jpg)" 401 "HTTPS without the token"
  local code
  code=$(curl -s --max-time 20 "${AUTH[@]}" -o plain.out -w '%{http_code}' "$SERVER_URL/snapshot.jpg") || true
  expect_eq "$code" 000 "plain HTTP on the HTTPS port"
  if [ -s plain.out ]; then fail "plain HTTP got $(wc -c <plain.out) bytes"; fi
}

# A port that another process holds ends frix with the reason, so that systemd restarts it.
case_server_occupied_port() {
  expect_log '^<alert> \[core\] Cannot start the streaming server on 127\.0\.0\.1:9000: bind: Address already in use$'
  python3 -c 'import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 9000)); s.listen(); print("bound", flush=True); time.sleep(120)' \
    >holder.txt &
  local holder=$!
  wait_until 10 grep -q bound holder.txt || fail "the port holder did not start"
  refused_start occupied.log --server-option=--port=9000
  kill "$holder"
  expect_file_match occupied.log 'Cannot start the streaming server on 127.0.0.1:9000: bind: Address already in use'
  [ ! -e /dev/video0 ] || fail "the node outlived frix"
}

case_server_stops_while_viewed() {
  start_server
  curl -s --max-time 60 "${AUTH[@]}" -o viewer.mjpg "$SERVER_URL/stream.mjpg" &
  local viewer=$!
  wait_until 30 test -s viewer.mjpg || fail "the viewer got nothing"
  stop_frix TERM
  expect_eq "$FRIX_STATUS" 0 "exit status of frix stopped while a viewer watched"
  wait_until 10 bash -c "! kill -0 $viewer 2>/dev/null" || fail "the viewer's connection outlived frix"
  expect_file_match "$CASE_DIR/frix.log" 'Streaming server stopped'
}

# The server alone, attached to a node that another frix serves.
case_server_external_driver() {
  # How the external server takes the SIGTERM that ends it.
  expect_log '^<warning> \[driver\] program interrupted by the user\.\.\.$'
  start_frix --enable-server=off --mode static
  "$FRIX" --external-driver --device-name "${FRIX_NODE#/dev/}" --server-option=--port=9001 \
    >>external.log 2>&1 &
  local external=$!
  wait_until 30 curl -s --max-time 2 -o /dev/null http://127.0.0.1:9001/ ||
    fail "the external server does not answer"
  use_token
  curl -sf --max-time 20 "${AUTH[@]}" -o snap.jpg http://127.0.0.1:9001/snapshot.jpg ||
    fail "no snapshot"
  expect_eq "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 snap.jpg)" \
    "640,480" "snapshot size"
  kill -TERM "$external"
  wait_until 20 bash -c "! kill -0 $external 2>/dev/null" || fail "the external server did not stop"
}

# A real browser shows the page with the live picture.
case_server_browser() {
  command -v chromium >/dev/null || { echo "chromium is not installed"; exit 77; }
  start_server --verbosity=6 --mode static
  curl -sf --max-time 20 "${AUTH[@]}" -o snap.jpg "$SERVER_URL/snapshot.jpg" || fail "no snapshot"
  # The emulated machine is slow: the picture may take many seconds to show.
  # One process, and most of the case's time: on a loaded machine the browser alone
  # took more than 150 s to start.
  timeout 240 chromium --headless --no-sandbox --disable-gpu --no-first-run --single-process \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$CASE_DIR/profile" --force-device-scale-factor=1 --window-size=640,520 \
    --hide-scrollbars --timeout=40000 --screenshot="$CASE_DIR/page.png" "http://frix:$(cat "$TOKEN_FILE")@127.0.0.1:9000/" \
    >chromium.log 2>&1 || true
  [ -s page.png ] || { tail -20 chromium.log; fail "no screenshot"; }
  # The picture's area of the screenshot against the snapshot, both decoded to RGB.
  ffmpeg -nostdin -loglevel error -i page.png -vf crop=640:480:0:0 -f rawvideo -pix_fmt rgb24 shot.rgb
  ffmpeg -nostdin -loglevel error -i snap.jpg -f rawvideo -pix_fmt rgb24 snap.rgb
  ffmpeg -nostdin -loglevel info -f rawvideo -pix_fmt gray -s 1920x480 -i shot.rgb \
    -f rawvideo -pix_fmt gray -s 1920x480 -i snap.rgb -lavfi psnr -f null - 2>psnr.txt
  local db
  db=$(grep -o 'average:[0-9.inf]*' psnr.txt | cut -d: -f2)
  echo "screenshot PSNR against the snapshot: $db dB"
  awk -v db="$db" 'BEGIN { exit !(db == "inf" || db + 0 >= 30) }' || fail "PSNR $db dB < 30 dB"
}

# Hostile clients against the real daemon: a thousand idle connections, malformed
# requests and a header sent a byte a second, while a viewer watches. Bounded in count
# and time; prints what it measured.
case_server_load() {
  start_server --mode static --server-option=--fps=5
  local fds_before rss_before
  # What the first open makes for the daemon's life (the mapping segment, which it keeps
  # open to see it cut) is there before counting.
  curl -sf --max-time 20 "${AUTH[@]}" -o /dev/null "$SERVER_URL/snapshot.jpg" || fail "no snapshot"
  wait_until 20 bash -c "! ls -l /proc/$FRIX_PID/fd | grep -q ' $FRIX_NODE\$'" ||
    fail "the server keeps the node open without a viewer"
  fds_before=$(ls "/proc/$FRIX_PID/fd" | wc -l)
  rss_before=$(awk '/^VmRSS:/ {print $2}' "/proc/$FRIX_PID/status")
  ulimit -n 4096
  FRIX_AUTH="Authorization: Basic $(printf ':%s' "$(cat "$TOKEN_FILE")" | base64 -w0)" \
    python3 - <<'PY' || fail "the server did not stand the load"
import os, socket, time
auth = os.environ['FRIX_AUTH'].encode() + b'\r\n'
def connect():
    return socket.create_connection(('127.0.0.1', 9000), timeout=15)
def reply(request):
    s = connect()
    s.sendall(request)
    data = b''
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        pass
    s.close()
    return data

# A header a byte a second is cut off by the header timeout (10 s).
slow = connect()
slow.settimeout(1)
slow_start, closed_after = time.time(), None
for c in b'GET /status HTTP/1.1\r\nHost: camera\r\n\r\n':
    try:
        slow.send(bytes([c]))
        if slow.recv(1) == b'':
            closed_after = time.time() - slow_start
            break
    except socket.timeout:
        continue
    except OSError:
        closed_after = time.time() - slow_start
        break
print('slow header closed after: %s s' % (None if closed_after is None else round(closed_after, 1)))
assert closed_after is not None and 9 <= closed_after <= 13, closed_after

viewer = connect()
viewer.sendall(b'GET /stream.mjpg HTTP/1.1\r\n' + auth + b'\r\n')
idle, refused = [], 0
for i in range(1000):
    try:
        idle.append(connect())
    except OSError:
        refused += 1
print('idle connections opened: %d, refused: %d' % (len(idle), refused))
for bad in [b'\r\n\r\n', b'GET\r\n\r\n', b'GET / HTTP/9.9\r\n\r\n', b'\x00\xff' * 100 + b'\r\n\r\n',
            b'GET /' + b'a' * 10000 + b' HTTP/1.1\r\n\r\n', b'GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n']:
    answer = reply(bad)
    assert answer.startswith(b'HTTP/1.1 4'), (bad[:20], answer[:40])
started = time.time()
status = reply(b'GET /status HTTP/1.1\r\n' + auth + b'Connection: close\r\n\r\n')
print('/status during the flood: %.0f ms' % ((time.time() - started) * 1000))
assert b' 200 OK' in status, status[:80]

# The viewer goes on at its rate.
viewer.settimeout(1)
frames, until = 0, time.time() + 10
while time.time() < until:
    try:
        chunk = viewer.recv(1 << 20)
    except socket.timeout:
        continue
    assert chunk, 'the viewer was disconnected'
    frames += chunk.count(b'--frixframe\r\n')
print('viewer frames in 10 s during the flood: %d' % frames)
assert frames >= 35, frames

for s in idle:
    s.close()
viewer.close()
PY
  wait_until 20 viewers_are 0 || fail "the viewer is still counted"
  local rss_after
  wait_until 20 bash -c "[ \$(ls /proc/$FRIX_PID/fd | wc -l) -le $fds_before ]" ||
    fail "frix holds $(ls /proc/$FRIX_PID/fd | wc -l) descriptors, $fds_before before"
  rss_after=$(awk '/^VmRSS:/ {print $2}' "/proc/$FRIX_PID/status")
  echo "descriptors: $fds_before before, $(ls /proc/$FRIX_PID/fd | wc -l) after; RSS: $rss_before kB before, $rss_after kB after"
  [ $((rss_after - rss_before)) -lt 16384 ] || fail "RSS grew by $((rss_after - rss_before)) kB"
  # The camera is anybody's again.
  wait_until 20 dd if="$FRIX_NODE" of=frames.raw bs=614400 count=2 iflag=fullblock status=none \
    2>/dev/null || fail "a V4L2 application cannot stream after the load"
}

# A server nobody gave a port or an address opens no port: no local user can watch.
case_server_listens_only_when_asked() {
  start_frix
  wait_until 20 grep -q 'no output asked for' "$CASE_DIR/frix.log" ||
    fail "the server did not say it serves nothing"
  expect_eq "$(http_code "$SERVER_URL/")" 000 "an unasked-for port"
}
