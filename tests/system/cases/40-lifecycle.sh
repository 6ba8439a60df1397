# shellcheck shell=bash
# Node names, shutdown, and what the daemon leaves behind.

case_video_nr_taken() {
  expect_log '^<warning> \[core\] Cannot create /dev/video17 because file already exists$' \
    '^<alert> \[core\] Device file already exists: File exists generic:17$'
  mknod /dev/video17 c 81 17
  local status=0
  timeout 60 "$FRIX" -f --driver pattern --video_nr 17 >frix.log 2>&1 || status=$?
  rm -f /dev/video17
  expect_eq "$status" 17 "exit status with /dev/video17 taken"
}

case_auto_video_nr() {
  expect_log '^<warning> \[core\] Cannot create /dev/video17 because file already exists$'
  mknod /dev/video17 c 81 17
  start_frix --video_nr 17 --auto-video_nr -n video18
  rm -f /dev/video17
  test -c /dev/video18 || fail "no /dev/video18"
  v4l2-ctl -d /dev/video18 --info >info.txt
  expect_file_match info.txt 'Video Capture'
}

case_sigterm_ends_session() {
  start_frix
  dd if="$FRIX_NODE" of=/dev/null bs=614400 count=2 iflag=fullblock 2>/dev/null
  local node=$FRIX_NODE
  stop_frix TERM
  expect_eq "$FRIX_STATUS" 0 "exit status after SIGTERM"
  wait_until 10 test ! -e "$node" || fail "$node outlived the daemon"
  expect_eq "$(shm_files)" "" "files in /dev/shm after exit"
}

case_shm_clean_after_last_close() {
  start_frix
  dd if="$FRIX_NODE" of=/dev/null bs=614400 count=3 iflag=fullblock 2>/dev/null
  v4l2-ctl -d "$FRIX_NODE" --all >/dev/null
  # Only the mapping segment stays while the daemon runs.
  local left
  left=$(shm_files | grep -v 'i$' || true)
  [ -z "$left" ] || fail "left in /dev/shm after the last close: $left"
  stop_frix TERM
  expect_eq "$FRIX_STATUS" 0 "exit status"
  expect_eq "$(shm_files)" "" "files in /dev/shm after exit"
}
