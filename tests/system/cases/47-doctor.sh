# shellcheck shell=bash
# frix doctor, run by users who are not root against a running node: who is kept out,
# and what each is told to do.

FRIX_RUN=$FRIX_BUILD/bin/frix-run
VIDEO_GID=$(getent group video | cut -d: -f3)
MEMBER=4511    # a user in group video
OUTSIDER=4512  # a user in no group of the node

# doctor_as member|outsider NAME [ENV...]: runs frix doctor as that user with only the
# environment given (PATH finds frix-run); leaves NAME.txt and the exit status in NAME.rc.
doctor_as() {
  local who=$1 name=$2 groups=(--clear-groups)
  shift 2
  local uid=$OUTSIDER
  [ "$who" = member ] && { uid=$MEMBER; groups=(--groups="$VIDEO_GID"); }
  local status=0
  setpriv --reuid=$uid --regid=$uid "${groups[@]}" \
    env -i PATH="$FRIX_BUILD/bin:/usr/bin:/bin" "$@" timeout 20 "$FRIX" doctor >"$name.txt" 2>&1 ||
    status=$?
  echo "$status" >"$name.rc"
  cat "$name.txt"
}

case_doctor_tells_each_user_the_next_step() {
  [ -n "$VIDEO_GID" ] || fail "no group video on this machine"
  chmod 0777 "$CASE_DIR"
  start_frix --mode static
  local segment
  segment=/dev/shm/frix_$((16#$(stat -c %t "$FRIX_NODE")))_$((16#$(stat -c %T "$FRIX_NODE")))i

  doctor_as outsider outsider
  expect_eq "$(cat outsider.rc)" 1 "exit status for a user outside the group"
  expect_file_match outsider.txt "^Node $FRIX_NODE\$"
  expect_file_match outsider.txt '^  owner root, group video, mode 0660$'
  expect_file_match outsider.txt '^  open read-write as 4512: refused, Permission denied \(EACCES\)$'
  expect_file_match outsider.txt "^Mapping segment $segment\$"
  expect_file_match outsider.txt '^  not made yet \(frix makes it at the first capture\); the node.s group or access list will not let 4512 in$'
  expect_file_match outsider.txt '^V4L2 apps of 4512: cannot stream$'
  expect_file_match outsider.txt '^  1\. ask an administrator to add you to group video, then log in again$'
  expect_eq "$(grep -c 'add you to group video' outsider.txt)" 1 "group steps for node and segment"

  doctor_as member bare
  expect_eq "$(cat bare.rc)" 1 "exit status for a member without the library"
  expect_file_match bare.txt '^  open read-write as 4511: yes$'
  expect_file_match bare.txt '^  LD_PRELOAD: not set$'
  expect_file_match bare.txt "^  frix-run: $FRIX_RUN, preloads $(readlink -f "$FRIX_EXT")\$"
  expect_file_match bare.txt '^  1\. start the app with frix-run$'
  ! grep -q 'add you to group' bare.txt || fail "a member was told to join the group"

  doctor_as member preloaded LD_PRELOAD="$FRIX_EXT"
  expect_eq "$(cat preloaded.rc)" 0 "exit status for a member with LD_PRELOAD"
  expect_file_match preloaded.txt "^  LD_PRELOAD: \"$FRIX_EXT\", gives $FRIX_EXT\$"
  expect_file_match preloaded.txt '^V4L2 apps of 4511: can stream$'
  ! grep -q 'frix-run$' preloaded.txt || fail "a member with the library was sent to frix-run"

  # Through frix-run itself, as the step says.
  local status=0
  setpriv --reuid=$MEMBER --regid=$MEMBER --groups="$VIDEO_GID" env -i PATH=/usr/bin:/bin \
    timeout 20 "$FRIX_RUN" "$FRIX" doctor --device "$FRIX_NODE" >through.txt 2>&1 || status=$?
  cat through.txt
  expect_eq "$status" 0 "exit status through frix-run"
  expect_file_match through.txt '^  frix-run: not on PATH$'

  # Once a capture made the segment, a member may open it too.
  setpriv --reuid=$MEMBER --regid=$MEMBER --groups="$VIDEO_GID" "$FRIX_RUN" \
    v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=2 --stream-to=/dev/null >stream.txt 2>&1 ||
    { cat stream.txt; fail "a member could not stream"; }
  wait_until 10 test -e "$segment" || fail "no segment $segment after a capture"
  doctor_as member captured LD_PRELOAD="$FRIX_EXT"
  expect_eq "$(cat captured.rc)" 0 "exit status for a member once the segment exists"
  expect_eq "$(grep -c '^  open read-write as 4511: yes$' captured.txt)" 2 "node and segment open"
  stop_frix TERM

  # Let in by the node's mode alone: the segment follows the group, not the mode.
  start_frix --mode static --device-mode=0666
  doctor_as outsider mode LD_PRELOAD="$FRIX_EXT"
  expect_eq "$(cat mode.rc)" 1 "exit status for a user let in by the mode alone"
  expect_file_match mode.txt '^  open read-write as 4512: yes$'
  expect_file_match mode.txt '^  1\. ask an administrator to add you to group video, then log in again$'

  # A node that is not frix's, and no node at all.
  status=0
  "$FRIX" doctor --device /dev/null >null.txt 2>&1 || status=$?
  expect_eq "$status" 1 "exit status for /dev/null"
  expect_file_match null.txt '^/dev/null is not a frix node'
  stop_frix TERM
  status=0
  "$FRIX" doctor >none.txt 2>&1 || status=$?
  expect_eq "$status" 1 "exit status without a node"
  expect_file_match none.txt '^No frix node runs'
}
