# shellcheck shell=bash
# Local users who try to read, corrupt or stall a camera they were not given.

HOSTILE=$(dirname "${BASH_SOURCE[0]}")/../tools/hostile.py
MAP_TRIES=$(dirname "${BASH_SOURCE[0]}")/../tools/map_tries.py
# One who may open the node (group video), one who may not.
FRIEND=(setpriv --reuid 1001 --regid 1001 --groups 44)
STRANGER=(setpriv --reuid 1002 --regid 1002 --clear-groups)

# The node belongs to group video before anybody opens it, as udev would have it.
# shellcheck disable=SC2120  # takes frix options, though no case passes any yet
start_shared_frix() {
  start_frix "$@"
  chgrp video "$FRIX_NODE" && chmod 0660 "$FRIX_NODE" || fail "cannot give $FRIX_NODE to video"
}

# The node's own segment, frix_<major>_<minor>i.
segment_file() {
  local numbers
  read -r -a numbers < <(stat -c '%t %T' "$FRIX_NODE")
  echo "frix_$((16#${numbers[0]}))_$((16#${numbers[1]}))i"
}

# owner_streams COUNT FILE [v4l2-ctl options]
owner_streams() {
  local count=$1 file=$2
  shift 2
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" "$@" --stream-mmap --stream-count="$count" \
    --stream-to="$file" 2>"$file.err"
}

# start_owner_stream COUNT FILE [v4l2-ctl options]: in the background, OWNER_PID is
# v4l2-ctl's own pid (a backgrounded function would be a shell whose kill leaves
# v4l2-ctl writing on).
start_owner_stream() {
  local count=$1 file=$2
  shift 2
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" "$@" --stream-mmap --stream-count="$count" \
    --stream-to="$file" 2>"$file.err" &
  OWNER_PID=$!
}

# Every buffer file is out of the user's reach, and there is at least one.
expect_files_refused() {
  local who=$1 out=$2
  grep -q '^files=[1-9]' "$out" || fail "$who saw no buffer files: $(cat "$out"), /dev/shm: $(shm_files)"
  if grep -v '^files=' "$out" | grep -qv 'read=EACCES write=EACCES truncate=EACCES'; then
    cat "$out" >&2
    fail "$who reached a buffer file"
  fi
}

daemon_alive() {
  kill -0 "$FRIX_PID" 2>/dev/null || { cat "$CASE_DIR/frix.log" >&2; fail "frix died"; }
}

case_hostile_users_neither_read_nor_stall_the_owner() {
  expect_log '^<warning> \[core\] A client held the mapping record for over 1000 ms \(it died, stopped or will not let go\); its request fails$'
  start_shared_frix
  # Until it is ended after the attacks, at 30 frames a second.
  start_owner_stream 1000000 owner.raw --set-parm=30
  local owner=$OWNER_PID
  wait_until 60 test -s owner.raw || fail "the owner got no frame"
  local segment
  segment=$(segment_file)
  [ -e "/dev/shm/$segment" ] || fail "no mapping segment $segment: $(shm_files)"
  expect_eq "$(stat -c '%a %U %G' "/dev/shm/$segment")" "660 root video" "segment mode"

  "${STRANGER[@]}" "$HOSTILE" files "$segment" >stranger-files.txt
  expect_files_refused stranger stranger-files.txt
  "${FRIEND[@]}" "$HOSTILE" files "$segment" >friend-files.txt
  expect_files_refused friend friend-files.txt
  if "${STRANGER[@]}" "$HOSTILE" hold "$segment" >stranger-hold.txt 2>&1; then
    fail "a user who may not open the node opened the record"
  fi
  expect_file_match stranger-hold.txt PermissionError

  # Holding the record's mutex, stopped, then killed while holding it.
  coproc HOLDER { "${FRIEND[@]}" "$HOSTILE" hold "$segment"; }
  local holder=$HOLDER_PID line=
  read -r -t 30 line <&"${HOLDER[0]}" || true
  expect_eq "$line" held "the friend's hold"
  kill -STOP "$holder"
  sleep 1 # the owner's stream runs on meanwhile; nothing is waited for here
  kill -KILL "$holder"
  wait "$holder" 2>/dev/null || true
  # The worker, serving while the owner streams, takes the dead holder's lock over.
  wait_until 15 grep -q 'A client held the mapping record for over 1000 ms' "$CASE_DIR/frix.log" ||
    fail "the lock of a dead holder was not taken over"

  kill -0 "$owner" 2>/dev/null || { cat owner.raw.err >&2; fail "the owner's stream ended"; }
  daemon_alive
  kill "$owner"
  wait "$owner" 2>/dev/null || true
  # The frame being written when it was ended is cut short; every whole one must be intact.
  local frame=$((640 * 480 * 2)) size
  size=$(stat -c %s owner.raw)
  truncate -s $((size / frame * frame)) owner.raw
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 30 owner.raw ||
    fail "owner.raw: not the frames streamed"
  # The record a dead holder left is usable again.
  owner_streams 6 after.raw || { cat after.raw.err >&2; fail "no stream after the holder died"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 6 after.raw
}

case_hostile_holder_stalls_a_stop_for_no_time() {
  # Whether an open waits long enough on the stopped holder to be told so is timing.
  expect_log '^<warning> \[core\] A client held the mapping record for over 1000 ms \(it died, stopped or will not let go\); its request fails$'
  start_shared_frix
  owner_streams 3 first.raw || fail "no first stream"
  local segment
  segment=$(segment_file)
  coproc HOLDER { "${FRIEND[@]}" "$HOSTILE" hold "$segment"; }
  local holder=$HOLDER_PID line=
  read -r -t 30 line <&"${HOLDER[0]}" || true
  expect_eq "$line" held "the friend's hold"
  kill -STOP "$holder"
  # Opens and last closes start and stop the mapping service under the held mutex.
  local begin=$SECONDS
  v4l2-ctl -d "$FRIX_NODE" --all >all.txt 2>&1 || fail "the node stopped answering"
  v4l2-ctl -d "$FRIX_NODE" --all >>all.txt 2>&1 || fail "the node stopped answering"
  [ $((SECONDS - begin)) -le 5 ] || fail "two opens took $((SECONDS - begin)) s"
  stop_frix TERM
  expect_eq "$FRIX_STATUS" 0 "exit status with the record held"
  kill -KILL "$holder"
}

case_hostile_owner_truncating_its_buffers_kills_nothing() {
  expect_log '^<warning> \[core\] Buffer file frix_[0-9]+_[0-9]+i[0-9]+ was cut short by its client$'
  start_shared_frix
  start_owner_stream 100000 cut.raw
  local owner=$OWNER_PID
  wait_until 60 test -s cut.raw || fail "the owner got no frame"
  local segment
  segment=$(segment_file)
  for f in /dev/shm/"$segment"[0-9]*; do truncate -s 0 "$f"; done
  # The owner dies of its own cut mapping; the capture thread writes into the cut files.
  wait_until 20 bash -c "! kill -0 $owner 2>/dev/null" || kill "$owner"
  wait "$owner" 2>/dev/null || true
  daemon_alive
  owner_streams 6 after.raw || { cat after.raw.err >&2; fail "no stream after the truncation"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 6 after.raw ||
    fail "after.raw: not the frames streamed"
  expect_file_match "$CASE_DIR/frix.log" 'was cut short by its client'
}

case_hostile_planted_segment_of_another_device_is_not_followed() {
  rm -f /dev/shm/frix_1_3i /dev/shm/frix_1_5i
  "${STRANGER[@]}" "$HOSTILE" plant frix_1_3i /dev/null >plant.txt || fail "could not plant"
  "${STRANGER[@]}" "$HOSTILE" plant frix_1_5i /dev/zero >>plant.txt || fail "could not plant"
  LD_PRELOAD=$FRIX_EXT python3 -c '
import errno, mmap, os
m = mmap.mmap(os.open("/dev/zero", os.O_RDWR), 4096)
print("mapped", m[0])
try:
    mmap.mmap(os.open("/dev/null", os.O_RDWR), 4096)
    print("null mapped")
except OSError as e:
    print("null", errno.errorcode[e.errno])' >maps.txt 2>maps.err || true
  rm -f /dev/shm/frix_1_3i /dev/shm/frix_1_5i
  # A device the kernel maps is never looked into; one it refuses keeps the kernel's
  # answer, and the stranger's record for it is refused.
  expect_file_match maps.txt '^mapped 0$'
  expect_file_match maps.txt '^null ENODEV$'
  expect_file_match maps.err 'refusing the mapping segment frix_1_3i'
  if grep -q frix_1_5i maps.err; then fail "the segment of a device the kernel maps was read"; fi
}

case_hostile_planted_pid_map_and_cuse_are_out_of_reach() {
  expect_log '^<warning> \[core\] Replacing the pid map /dev/shm/frix_pid_map: owned by uid 1002'
  rm -f /dev/shm/frix_pid_map
  "${STRANGER[@]}" python3 -c '
import os
fd = os.open("/dev/shm/frix_pid_map", os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o666)
os.write(fd, b"\xff" * 4096)' || fail "could not plant the pid map"
  if "${FRIEND[@]}" python3 -c 'open("/dev/cuse", "rb")' 2>cuse.err; then
    fail "a member of the node's group opened /dev/cuse"
  fi
  expect_file_match cuse.err PermissionError
  start_shared_frix
  expect_eq "$(stat -c '%U' /dev/shm/frix_pid_map)" root "the pid map's owner"
  owner_streams 6 planted.raw || { cat planted.raw.err >&2; fail "no stream with a planted pid map"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 6 planted.raw ||
    fail "planted.raw: not the frames streamed"
  expect_file_match "$CASE_DIR/frix.log" 'Replacing the pid map /dev/shm/frix_pid_map: owned by uid 1002'
  # Broken while frix runs by a user who may not even open the node (every client marks
  # itself there, so anybody may write it): clients stream all the same.
  "${STRANGER[@]}" python3 -c '
import os
fd = os.open("/dev/shm/frix_pid_map", os.O_WRONLY)
os.write(fd, b"\x00" * 4096)' || fail "could not break the pid map"
  owner_streams 6 broken.raw || { cat broken.raw.err >&2; fail "no stream with a broken pid map"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 6 broken.raw
}

# The seated user whom udev gives the node through its access list, outside its group.
case_hostile_seated_user_given_the_node_by_its_acl_streams() {
  start_shared_frix
  "${STRANGER[@]}" env LD_PRELOAD="$FRIX_EXT" v4l2-ctl -d "$FRIX_NODE" --stream-mmap \
    --stream-count=1 --stream-to=/dev/null 2>refused.err && fail "a stranger streamed"
  setfacl -m u:1002:rw "$FRIX_NODE" || fail "cannot give the node to uid 1002"
  # The frames go to stdout: the case's directory is not the seated user's to write in.
  "${STRANGER[@]}" env LD_PRELOAD="$FRIX_EXT" v4l2-ctl -d "$FRIX_NODE" --stream-mmap \
    --stream-count=6 --stream-to=- >seated.raw 2>seated.err || { cat seated.err >&2; fail "the seated user cannot stream"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 6 seated.raw ||
    fail "the seated user's frames are not the pattern's"
  setfacl -b "$FRIX_NODE"
  "${STRANGER[@]}" env LD_PRELOAD="$FRIX_EXT" v4l2-ctl -d "$FRIX_NODE" --stream-mmap \
    --stream-count=1 --stream-to=/dev/null 2>gone.err && fail "the seat's access outlived its list"
  true
}

case_hostile_client_in_its_own_pid_namespace_streams() {
  start_shared_frix
  # Sharing the host's /proc, and with a /proc of its own, as a container has.
  LD_PRELOAD=$FRIX_EXT unshare --pid --fork v4l2-ctl -d "$FRIX_NODE" --stream-mmap \
    --stream-count=12 --stream-to=ns.raw 2>ns.err || { cat ns.err >&2; fail "no stream"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 12 ns.raw ||
    fail "ns.raw: not the frames streamed"
  LD_PRELOAD=$FRIX_EXT unshare --pid --fork --mount-proc v4l2-ctl -d "$FRIX_NODE" --stream-mmap \
    --stream-count=12 --stream-to=ns-proc.raw 2>ns-proc.err || { cat ns-proc.err >&2; fail "no stream with its own /proc"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 12 ns-proc.raw
}

# ticks of CPU time (user + system) the daemon has used so far
daemon_ticks() {
  local fields
  read -r -a fields <"/proc/$FRIX_PID/stat"
  # The command field has no spaces here (frix), so field 14 is at index 13.
  echo $((fields[13] + fields[14]))
}

case_hostile_group_member_forges_cuts_and_floods_the_record() {
  expect_log '^<warning> \[core\] The mapping segment frix_[0-9]+_[0-9]+i was cut short; it is made anew$' \
    '^<error> \[core\] mmap\(\) failed: ' \
    '^<error> \[core\] [0-9]+ more failed mmap\(\) requests in 10 s were not logged$'
  start_shared_frix
  owner_streams 3 first.raw || { cat first.raw.err >&2; fail "no first stream"; }
  local segment tries=100
  segment=$(segment_file)

  # Forged answers point the victim at the friend's files: one of another user's bytes,
  # one empty (a mapping of it would die of SIGBUS at the first touch).
  coproc FORGER { "${FRIEND[@]}" "$HOSTILE" forge "$segment" 120; }
  local forger=$FORGER_PID line=
  read -r -t 30 line <&"${FORGER[0]}" || true
  expect_eq "$line" ready "the forger"
  LD_PRELOAD=$FRIX_EXT "$MAP_TRIES" "$FRIX_NODE" "$tries" >tries.txt 2>tries.err ||
    { cat tries.txt tries.err >&2; fail "the victim failed (status $?)"; }
  kill "$forger"
  wait "$forger" 2>/dev/null || true
  rm -f "/dev/shm/${segment}90" "/dev/shm/${segment}91"
  cat tries.txt
  expect_file_match tries.txt ' foreign=0( |$)'
  local ok eio
  ok=$(grep -oE '(^| )ok=[0-9]+' tries.txt | cut -d= -f2)
  eio=$(grep -oE '(^| )EIO=[0-9]+' tries.txt | cut -d= -f2)
  expect_eq "$((ok + ${eio:-0}))" "$tries" "mappings that were the daemon's or failed with EIO"
  # About one answer in three is the forger's when it races the daemon.
  [ "${eio:-0}" -ge 1 ] || fail "no forged answer reached the victim: the attack did not run"
  expect_file_match tries.err "^error: refusing the buffer file ${segment}9[01] \(owned by another user\): Input/output errorfd: "

  # A cut segment costs at most the request it hits; streaming goes on without a restart.
  local inode
  inode=$(stat -c %i "/dev/shm/$segment")
  "${FRIEND[@]}" truncate -s 0 "/dev/shm/$segment" || fail "the friend could not cut the segment"
  owner_streams 6 cut.raw || { cat cut.raw.err >&2; fail "no stream after the segment was cut"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 6 cut.raw ||
    fail "cut.raw: not the frames streamed"
  [ "$(stat -c %i "/dev/shm/$segment")" != "$inode" ] || fail "the segment was not made anew"
  expect_eq "$(stat -c '%a %U %G %s' "/dev/shm/$segment")" "660 root video 4096" "the new segment"
  expect_eq "$(grep -c 'was cut short; it is made anew' "$CASE_DIR/frix.log")" 1 "cut lines"
  daemon_alive

  # Requests for pids that match no process cost the daemon little, and its log less.
  # The service runs while the node is open: an owner streams, at one frame a second.
  start_owner_stream 1000000 flood.raw --set-parm=1
  local owner=$OWNER_PID
  wait_until 60 test -s flood.raw || fail "the owner got no frame"
  local before after seconds=10 ticks
  ticks=$(getconf CLK_TCK)
  before=$(daemon_ticks)
  "${FRIEND[@]}" "$HOSTILE" bogus "$segment" "$seconds" >bogus.txt || fail "the flood failed"
  after=$(daemon_ticks)
  kill -0 "$owner" 2>/dev/null || { cat flood.raw.err >&2; fail "the owner's stream ended"; }
  kill "$owner"
  wait "$owner" 2>/dev/null || true
  cat bogus.txt
  local answered
  answered=$(awk '{print $4}' bogus.txt)
  [ "${answered:-0}" -ge 100 ] || fail "the flood got too few answers: $(cat bogus.txt)"
  local used_ms=$(((after - before) * 1000 / ticks))
  echo "daemon CPU: $used_ms ms for $answered bogus requests in $seconds s"
  [ $((used_ms * 100 / (seconds * 1000))) -lt 30 ] || fail "the flood took $used_ms ms of the daemon's CPU in $seconds s"
  local lines
  lines=$(grep -c 'mmap() failed: ' "$CASE_DIR/frix.log")
  [ "$lines" -le 15 ] || fail "$lines failure lines for $answered bogus requests"
  owner_streams 6 after.raw || { cat after.raw.err >&2; fail "no stream after the flood"; }
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 6 after.raw ||
    fail "after.raw: not the frames streamed"
  wait_until 15 grep -q 'more failed mmap() requests in 10 s were not logged' "$CASE_DIR/frix.log" ||
    fail "the left-out failures were never counted"
}
