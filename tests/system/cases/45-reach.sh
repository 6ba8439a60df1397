# shellcheck shell=bash source=tests/system/browser.sh
# Users who are not root reach the camera: node group and mode, frix-run, detection of
# the preload library, and a real browser.

source "$(dirname "${BASH_SOURCE[0]}")/../browser.sh"

FRIX_RUN=$FRIX_BUILD/bin/frix-run
VIDEO_GID=$(getent group video | cut -d: -f3)
MEMBER=4501    # a user in group video
OUTSIDER=4502  # a user in no group of the node

# as_member / as_outsider COMMAND...: runs COMMAND as that user, nothing of root's kept.
as_member() {
  setpriv --reuid=$MEMBER --regid=$MEMBER --groups="$VIDEO_GID" env HOME="$USER_TMP" "$@"
}
as_outsider() {
  setpriv --reuid=$OUTSIDER --regid=$OUTSIDER --clear-groups env HOME="$USER_TMP" "$@"
}

# A directory both users may write: the case directory lies on a share root owns.
user_tmp() {
  USER_TMP=$(mktemp -d /tmp/reach.XXXXXX)
  chmod 1777 "$USER_TMP"
}

# errno name of open(2) on the node, as the user sees it.
open_errno() {
  "$@" /usr/bin/python3 -c '
import errno, os, sys
try:
    os.close(os.open(sys.argv[1], os.O_RDWR))
    print("ok")
except OSError as e:
    print(errno.errorcode[e.errno])' "$FRIX_NODE"
}

case_reach_node_access_and_frix_run() {
  [ -n "$VIDEO_GID" ] || fail "no group video on this machine"
  user_tmp
  start_frix --mode static
  expect_eq "$(stat -c '%U:%G %a' "$FRIX_NODE")" "root:video 660" "owner, group and mode of the node"
  expect_eq "$(stat -c '%U:%G %a' /dev/cuse)" "root:root 600" "/dev/cuse"
  expect_eq "$(open_errno as_member)" ok "open by a member of video"
  expect_eq "$(open_errno as_outsider)" EACCES "open by a user outside the group"

  as_member "$FRIX_RUN" v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=8 \
    --stream-to="$USER_TMP/frames.raw" >ctl.txt 2>&1 || { cat ctl.txt; fail "streaming as a member failed"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --mode static --min-frames 8 "$USER_TMP/frames.raw" ||
    fail "frames.raw: not the frames streamed"

  # More buffers than a device grants: the log names the cap, not tmpfs.
  as_member "$FRIX_RUN" v4l2-ctl -d "$FRIX_NODE" --stream-mmap=40 --stream-count=2 \
    --stream-to=/dev/null >many.txt 2>&1 || { cat many.txt; fail "40 buffers refused"; }
  expect_file_match frix.log 'asked for 40: 32 buffers is the most a device grants'
  ! grep -q tmpfs frix.log || fail "REQBUFS above the cap suggests tmpfs"
  # Start-up is quiet: no warning at all in a run that nothing went wrong in.
  ! grep -q '<warning>' frix.log || { grep '<warning>' frix.log; fail "warnings in a clean run"; }

  stop_frix TERM
  expect_eq "$FRIX_STATUS" 0 "exit status"

  start_frix --device-group=root --device-mode=0606
  expect_eq "$(stat -c '%G %a' "$FRIX_NODE")" "root 606" "group and mode given as options"
  expect_eq "$(open_errno as_outsider)" ok "open by others with mode 0606"
  rm -rf "$USER_TMP"
}

case_reach_detection() {
  user_tmp
  start_frix
  # Through frix-run: streaming offered and working.
  as_member "$FRIX_RUN" v4l2-ctl -d "$FRIX_NODE" --info >with.txt
  grep -A4 'Device Caps' with.txt | grep -q Streaming || fail "streaming not offered through frix-run"
  expect_file_match frix.log 'Extension module detected!'
  # Without it: read() only, and the client is named once with the hint.
  as_member v4l2-ctl -d "$FRIX_NODE" --info >without.txt
  ! grep -A4 'Device Caps' without.txt | grep -q Streaming || fail "streaming offered without the library"
  as_member v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=1 --stream-to="$USER_TMP/bare.raw" \
    >bare.txt 2>&1 || true
  [ ! -s "$USER_TMP/bare.raw" ] || fail "frames without the library"
  named='Client pid [0-9]+ \(v4l2-ctl\) has no libfrixext preloaded, so its memory-mapped streaming cannot work: start it with frix-run'
  expect_file_match frix.log "$named"
  pids=$(grep -oE "$named" frix.log | grep -oE 'pid [0-9]+' | sort | uniq -c | awk '$1 != 1')
  [ -z "$pids" ] || fail "a client was named more than once: $pids"
  # The marks of clients that ended are gone or stale; the table stays the daemon's.
  expect_eq "$(stat -c '%U %a' /dev/shm/frix_pid_map)" "root 666" "pid map owner and mode"
  stop_frix TERM

  # Streaming always offered: the client without the library is still named.
  : >frix.log
  start_frix --extension-presence 1
  as_member v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=1 --stream-to="$USER_TMP/bare.raw" \
    >bare1.txt 2>&1 || true
  expect_file_match frix.log "$named"
  stop_frix TERM
  rm -rf "$USER_TMP"
}

case_reach_chromium() {
  command -v chromium >/dev/null || fail "chromium is not installed"
  user_tmp
  start_frix --mode static
  camera_page "$USER_TMP/camera.html"
  # Within the case's time limit.
  as_member timeout -k 5 165 "$FRIX_RUN" chromium "${CHROMIUM_HEADLESS[@]}" \
    --user-data-dir="$USER_TMP/profile" "file://$USER_TMP/camera.html" >chromium.txt 2>&1 &
  local browser=$!
  wait_until 160 grep -qE 'FRIX(PIXELS|ERROR)' chromium.txt || true
  kill -TERM "$browser" 2>/dev/null || true
  wait "$browser" 2>/dev/null || true
  pkill_tree=$(pgrep -u $MEMBER chromium || true)
  [ -z "$pkill_tree" ] || kill -KILL $pkill_tree 2>/dev/null || true
  expect_bars chromium.txt
  expect_file_match frix.log 'Extension module detected!'
  stop_frix TERM
  rm -rf "$USER_TMP"
}

# What /etc/ld.so.preload does to every program, done with LD_PRELOAD (the guest's /etc
# is read-only): ordinary programs print and exit exactly as without the library.
case_reach_ordinary_programs_unchanged() {
  start_frix
  printf 'frix\nwebcam\n' >input.txt
  local -a programs=(
    "sh -c 'echo \$((6 * 7)); exit 3'"
    "ls -l /usr/bin/env"
    "sort -r input.txt"
    "sha256sum input.txt"
    "dd if=/dev/zero bs=4096 count=16 status=none | md5sum"
    "python3 -c 'import mmap, os; m = mmap.mmap(-1, 1 << 20); m[:4] = b\"frix\"; print(m[:4], os.getpid() > 0)'"
    "ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=size=64x48:rate=1 -frames:v 1 -f rawvideo - | md5sum"
    "v4l2-ctl -d $FRIX_NODE --get-fmt-video"
    "chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking --disable-component-update --disable-sync --user-data-dir=$CASE_DIR/chromium --dump-dom 'data:text/html,<p>frix</p>'"
  )
  local program status_plain status_preloaded n=0
  for program in "${programs[@]}"; do
    n=$((n + 1))
    status_plain=0 status_preloaded=0
    timeout 120 bash -c "$program" >"plain.$n" 2>/dev/null || status_plain=$?
    LD_PRELOAD=$FRIX_EXT timeout 120 bash -c "$program" >"preloaded.$n" 2>/dev/null ||
      status_preloaded=$?
    expect_eq "$status_preloaded" "$status_plain" "exit status of: $program"
    cmp -s "plain.$n" "preloaded.$n" || {
      diff "plain.$n" "preloaded.$n" | head
      fail "output differs under the library: $program"
    }
    [ -s "plain.$n" ] || fail "no output from: $program"
  done
  echo "$n programs unchanged"
}
