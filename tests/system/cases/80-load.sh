# shellcheck shell=bash
# Load: four clients opening, querying, streaming (read() and mapped buffers), polling
# and closing at random for a minute, and one sending random ioctls. Afterwards the
# daemon answers, holds no more descriptors or memory than before, has left nothing
# in /dev/shm but its mapping segment, and every frame any client got was right. Beside
# them, a local user who may not open the node keeps trying the buffer files and /dev/cuse.

LOAD_SECONDS=${LOAD_SECONDS:-60}
# The figures before are taken after a short load of the same kind, so that the CUSE
# worker threads and their malloc arenas are already there. Which worker thread serves
# a request is chance, so the first load may still grow them (2.1 MB seen once, under
# 300 kB in most runs); that growth is bounded, and a second load of the same length
# must not add to it: a leak grows with every load. A leak of one frame per open would
# fit neither bound.
RSS_TOLERANCE_KB=2048
RSS_FIRST_LOAD_KB=8192
WARM_UP_SECONDS=10

# The node's segment, frix_<major>_<minor>i, the prefix of its buffer files.
load_segment() {
  local numbers
  read -r -a numbers < <(stat -c '%t %T' "$FRIX_NODE")
  echo "frix_$((16#${numbers[0]}))_$((16#${numbers[1]}))i"
}

fd_count() { ls "/proc/$FRIX_PID/fd" | wc -l; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$FRIX_PID/status"; }

# The device is idle again: every client's handle is released.
idle_again() {
  [ "$(fd_count)" -le "$1" ] && [ "$(shm_files | wc -l)" -le 1 ]
}

# all_gone PID...: every process has ended (exited children stay zombies until reaped).
all_gone() {
  local pid
  for pid; do
    kill -0 "$pid" 2>/dev/null && ! grep -q '^State:.*Z' "/proc/$pid/status" 2>/dev/null && return 1
  done
  return 0
}

# run_load SECONDS TAG: the four clients and the random ioctls, all to their end.
run_load() {
  local seconds=$1 tag=$2
  local pids=() i
  for i in 1 2 3 4; do
    LD_PRELOAD=$FRIX_EXT timeout -k 5 $((seconds + 60)) \
      "$load" "$FRIX_NODE" --seconds "$seconds" --seed "$RANDOM$i" >"$tag$i.out" 2>"$tag$i.log" &
    pids+=($!)
  done
  timeout -k 5 $((seconds + 60)) \
    "$load" "$FRIX_NODE" --seconds "$seconds" --seed "$RANDOM" --random-ioctls >${tag}ioctls.out 2>&1 &
  pids+=($!)
  local segment
  segment=$(load_segment)
  timeout -k 5 $((seconds + 60)) setpriv --reuid 1002 --regid 1002 --clear-groups \
    "$(dirname "${BASH_SOURCE[0]}")/../tools/hostile.py" pester "$segment" "$seconds" \
    >${tag}attacker.out 2>&1 &
  local attacker=$!
  # Where a client that overran is stuck, before its time limit ends it.
  if ! wait_until $((seconds + 15)) all_gone "${pids[@]}"; then
    for i in "${pids[@]}"; do
      for p in $(pgrep -P "$i") "$i"; do
        [ -r "/proc/$p/syscall" ] && echo "still running: $p: $(cat /proc/$p/syscall) $(cat /proc/$p/wchan)"
      done
    done
  fi
  local failed=0
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || { echo "client $((i + 1)) failed (status $?)"; failed=1; }
  done
  wait "$attacker" || { echo "the attacker failed (status $?)"; failed=1; }
  head -n 5 $tag*.out
  [ $failed = 0 ] || fail "a load client failed"
  ! grep -q '^reached' ${tag}attacker.out || fail "the attacker reached $(grep '^reached' ${tag}attacker.out | head -3)"
  grep -q '^pestered [1-9]' ${tag}attacker.out || fail "the attacker did not run: $(cat ${tag}attacker.out)"
}

case_load_random_clients() {
  # The clients take the device from one another at random.
  expect_log '^<error> \[core\] (read|poll)\(\) failed: Device is already in use (for streaming|\(locked\)) by process PID=[0-9]+: Device or resource busy'
  start_frix
  local load=$FRIX_BUILD/bin/frix_load_client stream=$FRIX_BUILD/bin/frix_stream_client
  # Warm up every path (threads, mapping segment, read buffers, malloc arenas), so
  # that the figures before compare like with like.
  LD_PRELOAD=$FRIX_EXT "$stream" "$FRIX_NODE" --frames 3 >warm-mmap.out || fail "warm-up (mmap) failed"
  "$stream" "$FRIX_NODE" --io read --frames 3 >warm-read.out || fail "warm-up (read) failed"
  run_load "$WARM_UP_SECONDS" warm
  v4l2-ctl -d "$FRIX_NODE" --all >/dev/null || fail "v4l2-ctl before the load"
  local fds_before rss_before
  wait_until 30 idle_again 1000 || fail "not idle after the warm-up"
  fds_before=$(fd_count)
  rss_before=$(rss_kb)

  run_load "$LOAD_SECONDS" client
  v4l2-ctl -d "$FRIX_NODE" --all >after.txt || fail "the daemon does not answer after the load"
  expect_file_match after.txt 'Video Capture'
  wait_until 60 idle_again "$fds_before" || true
  local fds_after rss_after rss_first
  rss_first=$(rss_kb)
  run_load "$LOAD_SECONDS" again
  wait_until 60 idle_again "$fds_before" || true
  fds_after=$(fd_count)
  rss_after=$(rss_kb)
  local opens frames ioctls
  opens=$(cat client*.out | sed -n 's/.*opens=\([0-9]*\).*/\1/p' | awk '{s += $1} END {print s + 0}')
  frames=$(cat client[1-4].out | sed -n 's/.*frames=\([0-9]*\).*/\1/p' | awk '{s += $1} END {print s + 0}')
  ioctls=$(sed -n 's/.*ioctls=\([0-9]*\).*/\1/p' clientioctls.out)
  echo "load: $opens opens, $frames frames checked, $ioctls random ioctls (the first load);" \
    "fds before/after $fds_before/$fds_after; rss before/after one load/after two" \
    "$rss_before/$rss_first/$rss_after kB"
  expect_eq "$fds_after" "$fds_before" "open descriptors of the daemon"
  [ "$rss_first" -le $((rss_before + RSS_FIRST_LOAD_KB)) ] ||
    fail "resident memory grew from $rss_before to $rss_first kB over one load"
  [ "$rss_after" -le $((rss_first + RSS_TOLERANCE_KB)) ] ||
    fail "resident memory grew again over a second load, from $rss_first to $rss_after kB"
  [ "$frames" -gt 0 ] || fail "no client got a frame"
  local files
  files=$(shm_files)
  [[ "$files" =~ ^frix_[0-9]+_[0-9]+i$ ]] || fail "left in /dev/shm: $files"
  ! grep -q DEFECTIVE "$CASE_DIR/frix.log" || fail "the device turned defective"
}
