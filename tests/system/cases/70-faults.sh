# shellcheck shell=bash
# Faults on a real kernel: clients killed at awkward points, the daemon killed, a camera
# that fails or hangs. After each, the next client must stream correct frames.

CLIENT=$FRIX_BUILD/bin/frix_stream_client
# While this file exists the faulty driver completes no frame.
STALL=/tmp/frix-stall

# client NAME [client options...]: a stream client in the background, with the preload
# library, its output in NAME.out; its pid in CLIENT_PID.
client() {
  local name=$1
  shift
  LD_PRELOAD=$FRIX_EXT "$CLIENT" "$FRIX_NODE" "$@" >"$name.out" 2>&1 &
  CLIENT_PID=$!
}

wait_ready() {
  wait_until 60 grep -q READY "$1.out" || { cat "$1.out" >&2; fail "$1 never got ready"; }
}

# in_call PID SYSCALL [ARG2]: the process is blocked in that system call (x86-64 numbers).
in_call() {
  local nr arg rest
  read -r nr _ arg rest <"/proc/$1/syscall" 2>/dev/null || return 1
  [ "$nr" = "$2" ] && { [ -z "${3:-}" ] || [ "$arg" = "$3" ]; }
}

# gone PID: the process has ended (a killed client stays a zombie until reaped).
gone() {
  ! kill -0 "$1" 2>/dev/null || grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null
}

kill_client() {
  kill -KILL "$1"
  wait_until 30 gone "$1" || fail "client $1 still alive 30 s after SIGKILL: $(cat /proc/$1/stack 2>/dev/null)"
  wait "$1" 2>/dev/null
}

# stream_ok NAME [client options...]: a new client captures five correct frames.
stream_ok() {
  local name=$1
  shift
  LD_PRELOAD=$FRIX_EXT timeout 60 "$CLIENT" "$FRIX_NODE" --frames 5 "$@" >"$name.out" 2>&1 ||
    { cat "$name.out" >&2; fail "$name: no clean stream"; }
  expect_file_match "$name.out" '^5 frames intact'
  cat "$name.out"
}

# Only the mapping segment may be left in /dev/shm once every client has gone.
only_segment_left() {
  local files
  files=$(shm_files)
  [ "$(wc -l <<<"$files")" = 1 ] && [[ "$files" =~ ^frix_[0-9]+_[0-9]+i$ ]]
}

start_faulty() {
  FRIX_DRIVER=faulty start_frix "$@"
}

case_fault_kill_client_in_dqbuf() {
  touch "$STALL"
  start_faulty --stall-while "$STALL" --frame-timeout 0
  client blocked --ready-after 0 --frames 0
  local pid=$CLIENT_PID
  wait_ready blocked
  # 16: ioctl; 0xc0585611: VIDIOC_DQBUF.
  wait_until 30 in_call "$pid" 16 0xc0585611 || fail "client not blocked in VIDIOC_DQBUF"
  kill_client "$pid"
  rm -f "$STALL"
  stream_ok next
  stream_ok next_read --io read
  wait_until 30 only_segment_left || fail "left in /dev/shm: $(shm_files)"
}

case_fault_kill_client_in_read() {
  touch "$STALL"
  start_faulty --stall-while "$STALL" --frame-timeout 0
  client blocked --io read --ready-after 0 --frames 0
  local pid=$CLIENT_PID
  wait_ready blocked
  wait_until 30 in_call "$pid" 0 || fail "client not blocked in read()"
  kill_client "$pid"
  rm -f "$STALL"
  stream_ok next_read --io read
  stream_ok next
}

case_fault_kill_client_between_reqbufs_and_mmap() {
  start_frix
  client paused --buffers 3 --pause-after reqbufs
  local pid=$CLIENT_PID
  wait_ready paused
  [ "$(shm_files | grep -c 'i[0-9]\+$')" = 3 ] || fail "expected 3 buffer files: $(shm_files)"
  kill_client "$pid"
  # Its buffers go with its last handle.
  wait_until 30 only_segment_left || fail "left in /dev/shm: $(shm_files)"
  stream_ok next --buffers 3
  stream_ok next_read --io read
}

case_fault_kill_daemon_mid_stream() {
  start_frix
  client streaming --frames 0 --ready-after 3
  local pid=$CLIENT_PID
  wait_ready streaming
  local before
  before=$(cd /dev/shm && shm_files | xargs ls -i)
  echo "before the kill: $before"
  kill -KILL "$FRIX_PID"
  wait "$FRIX_PID" 2>/dev/null
  FRIX_PID=
  # The client is told, it does not hang.
  wait_until 30 gone "$pid" || fail "client still running 30 s after the daemon died"
  wait "$pid" && fail "the client went on without its daemon"
  cat streaming.out
  expect_file_match streaming.out 'failed: E[A-Z]+'
  [ -n "$(shm_files)" ] || fail "the killed daemon's files vanished by themselves"

  start_frix
  stream_ok next_read --io read
  # Fewer buffers than before the crash: the stale ones beyond must not stay behind.
  stream_ok fewer --buffers 2
  only_segment_left || fail "stale files in /dev/shm after the restart: $(shm_files)"
  stream_ok next
  local after
  after=$(cd /dev/shm && shm_files | xargs ls -i)
  echo "after the restart: $after"
  only_segment_left || fail "stale files in /dev/shm: $(shm_files)"
  [ "$(awk '{print $1}' <<<"$after")" != "$(awk '/i$/ {print $1}' <<<"$before")" ] ||
    fail "the mapping segment of the killed daemon was kept"
}

case_fault_device_error_mid_stream() {
  expect_log '^<warning> \[driver\] faulty driver: failing after 5 frames$' \
    '^<error> \[core\] (An error occurred while streaming: )?faulty: camera failed: Input/output error$' \
    '^<error> \[core\] (open|read)\(\) failed: Input/output error'
  expect_defective_log
  start_faulty --fail-after 5
  # A handle held across the failure, as another application would.
  exec 5<>"$FRIX_NODE"
  client failing --frames 0
  wait_until 60 gone "$CLIENT_PID" || fail "the streaming client was not told about the failure"
  wait "$CLIENT_PID" && fail "the streaming client did not fail"
  cat failing.out
  # It learns at its next buffer request, whichever that is.
  expect_file_match failing.out '^VIDIOC_(DQBUF|QBUF) failed: EIO'
  expect_file_match frix.log 'DEFECTIVE'
  # While a handle remains: new opens, reads and ioctls on the old handle fail with EIO.
  LD_PRELOAD=$FRIX_EXT "$CLIENT" "$FRIX_NODE" --frames 1 >reopen.out 2>&1 && fail "open succeeded"
  expect_file_match reopen.out '^open failed: EIO'
  ! dd bs=614400 count=1 <&5 >/dev/null 2>read.err || fail "read on the old handle succeeded"
  expect_file_match read.err 'Input/output error'
  python3 -c 'import fcntl; fcntl.ioctl(5, 0x80685600, bytearray(104))' 2>querycap.err &&
    fail "VIDIOC_QUERYCAP on the old handle succeeded"
  expect_file_match querycap.err 'Errno 5'
  # The last close recovers the camera.
  exec 5>&-
  wait_until 30 grep -q 'Attempting to recover' frix.log || fail "no recovery after the last close"
  stream_ok recovered
  stream_ok recovered_read --io read
}

case_fault_stalled_camera() {
  expect_log '^<warning> \[core\] Frame timeout elapsed: 1000 milliseconds$' \
    '^<error> \[core\] read\(\) failed: Connection timed out'
  rm -f "$STALL"
  start_faulty --stall-while "$STALL" --frame-timeout 1000
  client reader --io read --frames 0 --ready-after 3
  local pid=$CLIENT_PID
  wait_ready reader
  touch "$STALL"
  # Each read() now ends with ETIMEDOUT after the frame time-out.
  wait_until 60 gone "$pid" || fail "reader still blocked 60 s into the stall"
  wait "$pid" && fail "the reader did not fail"
  cat reader.out
  expect_file_match reader.out '^read failed: ETIMEDOUT'
  expect_file_match frix.log 'Frame timeout elapsed: 1000 milliseconds'
  # A streaming client's DQBUF returns too, instead of waiting for ever, with the
  # buffer flagged as an error.
  client streamer --frames 1
  wait_until 60 gone "$CLIENT_PID" || fail "VIDIOC_DQBUF still blocked 60 s into the stall"
  wait "$CLIENT_PID" && fail "the streamer got a frame from a stalled camera"
  cat streamer.out
  expect_file_match streamer.out '^VIDIOC_DQBUF: buffer [0-9]* flagged as an error'
  expect_file_match frix.log 'Frame timeout elapsed' 
  rm -f "$STALL"
  stream_ok resumed
  stream_ok resumed_read --io read
}

# The frix process that serves: the one that holds /dev/cuse open.
cuse_server() {
  local fd pid
  for fd in /proc/[0-9]*/fd/*; do
    [ "$(readlink "$fd" 2>/dev/null)" = /dev/cuse ] || continue
    pid=${fd#/proc/}
    pid=${pid%%/*}
    [ "$(readlink "/proc/$pid/exe")" = "$(readlink -f "$FRIX")" ] && echo "$pid" && return 0
  done
  return 1
}

# background_frix [frix options...]: frix started the default way, which detaches; the
# detached daemon's pid in FRIX_PID.
background_frix() {
  FRIX_NODE=/dev/video0
  timeout 60 "$FRIX" --driver pattern --video_nr 0 "$@" >>frix.log 2>&1 ||
    { cat frix.log >&2; fail "frix did not detach"; }
  wait_until 30 test -c "$FRIX_NODE" || fail "the detached frix did not create $FRIX_NODE"
  FRIX_PID=$(cuse_server) || fail "no frix holds /dev/cuse"
}

# SIGTERM ends the detached daemon as it ends one in the foreground: node and files gone.
stop_background_frix() {
  local pid=$FRIX_PID
  kill -TERM "$pid"
  wait_until 30 gone "$pid" || fail "the detached frix outlived SIGTERM by 30 s: $(cat /proc/$pid/stack 2>/dev/null)"
  FRIX_PID=
  wait_until 10 test ! -e "$FRIX_NODE" || fail "$FRIX_NODE outlived the daemon"
  expect_eq "$(shm_files)" "" "files in /dev/shm after SIGTERM"
}

case_background_daemon() {
  expect_log '^<warning> \[core\] Frame timeout elapsed: 300 milliseconds$' \
    '^<error> \[core\] read\(\) failed: Connection timed out'
  background_frix
  stream_ok detached
  stream_ok detached_read --io read
  stop_background_frix

  # A frame takes 1 s; the watchdog cuts each one at the 300 ms time-out.
  background_frix --fps 1 --frame-timeout 300
  python3 - "$FRIX_NODE" >reads.txt <<'PY'
import errno, os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
for _ in range(4):
    start = time.monotonic()
    try:
        os.read(fd, 614400)
        outcome = "frame"
    except OSError as error:
        outcome = errno.errorcode[error.errno]
    print(outcome, "%.3f" % (time.monotonic() - start))
PY
  cat reads.txt
  expect_file_match reads.txt '^ETIMEDOUT '
  awk '$2 >= 0.8 { exit 1 }' reads.txt || fail "a read waited past the frame time-out"
  stop_background_frix
}
