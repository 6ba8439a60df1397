# shellcheck shell=bash
# Helpers for system-test cases. A case is a shell function named case_<name> in a file
# under cases/; it runs in its own bash, inside the VM, from the source tree, with
#   FRIX_BUILD  the build tree (bin/frix, lib/libfrixext.so, drivers/)
#   CASE_DIR    a writable directory for the case's files; kept as artefacts
# and fails by returning non-zero or calling fail. Every wait here is bounded.

FRIX=$FRIX_BUILD/bin/frix
# shellcheck disable=SC2034  # the cases' to use
FRIX_EXT=$FRIX_BUILD/lib/libfrixext.so
# shellcheck disable=SC2034
FRAME_CHECK=$FRIX_BUILD/bin/frix_frame_check
FRIX_PID=
FRIX_NODE=

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# wait_until SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds.
wait_until() {
  local limit=$(($1 * 20))
  shift
  local i
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

# bounded_by_the_unit [CAP...]: $CASE_DIR/frix-bounded runs frix with only the
# capabilities of frix@.service's CapabilityBoundingSet= (and those a drop-in adds) and
# no new privileges, as the unit does; their mask, as /proc/PID/status shows it, in UNIT_CAPS.
bounded_by_the_unit() {
  local unit caps=-all cap mask=0
  unit=$(dirname "${BASH_SOURCE[0]}")/../../packaging/frix@.service.in
  for cap in $(sed -n 's/^CapabilityBoundingSet=//p' "$unit") "$@"; do
    mask=$((mask | 1 << $(awk -v c="$cap" '$1 == "#define" && $2 == c { print $3 }' \
      /usr/include/linux/capability.h)))
    cap=${cap#CAP_}
    caps+=",+${cap,,}"
  done
  [ "$caps" != -all ] || fail "no CapabilityBoundingSet= in $unit"
  echo "bounding set: $caps"
  printf '#!/bin/sh\nexec setpriv --no-new-privs --bounding-set=%s %s "$@"\n' "$caps" "$FRIX" \
    >"$CASE_DIR/frix-bounded"
  chmod +x "$CASE_DIR/frix-bounded"
  # shellcheck disable=SC2034  # the caller's to check
  UNIT_CAPS=$(printf %016x $mask)
}

# start_frix [frix options...]: serves a node with the pattern driver (or $FRIX_DRIVER)
# in the foreground and waits for the node. The node is /dev/video0 unless -n/--device-name/--video_nr
# says otherwise: v4l2-ctl and v4l2-compliance only take nodes with a V4L2 name.
start_frix() {
  FRIX_NODE=
  local prev='' arg
  for arg in "$@"; do
    case "$prev" in
      -n | --device-name) FRIX_NODE=/dev/${arg#/dev/} ;;
      --video_nr) FRIX_NODE=/dev/video$arg ;;
    esac
    prev=$arg
  done
  local node_options=()
  [ -n "$FRIX_NODE" ] || { FRIX_NODE=/dev/video0; node_options=(--video_nr 0); }
  "$FRIX" -f --driver "${FRIX_DRIVER:-pattern}" "${node_options[@]}" "$@" >>"$CASE_DIR/frix.log" 2>&1 &
  FRIX_PID=$!
  if ! wait_until 30 test -c "$FRIX_NODE"; then
    cat "$CASE_DIR/frix.log" >&2
    fail "frix did not create $FRIX_NODE"
  fi
}

# stop_frix [signal]: ends the daemon; its exit status is left in FRIX_STATUS.
stop_frix() {
  local sig=${1:-TERM}
  FRIX_STATUS=0
  [ -n "$FRIX_PID" ] || return 0
  kill -"$sig" "$FRIX_PID" 2>/dev/null
  wait_until 30 bash -c "! kill -0 $FRIX_PID 2>/dev/null" || kill -KILL "$FRIX_PID"
  # shellcheck disable=SC2034  # the caller's to check
  wait "$FRIX_PID" 2>/dev/null || FRIX_STATUS=$?
  FRIX_PID=
}

# expect_log REGEX...: error and warning lines (extended regexes, matched against the
# line without colours) that the case provokes on purpose. After the case, any other
# such line in a frix log of CASE_DIR (*.log) fails it. Call it inside the case.
expect_log() {
  local regex
  for regex; do
    [ -n "$regex" ] || fail "expect_log: an empty regex would allow every line"
    grep -qE -- "$regex" </dev/null; [ $? -ne 2 ] || fail "expect_log: bad regex: $regex"
    printf '%s\n' "$regex" >>"$CASE_DIR/expected-log.txt"
  done
}

# expect_defective_log: the case makes the device defective; frix says so, and again at
# each request it refuses until the last close.
expect_defective_log() {
  expect_log '^<warning> \[core\] DEFECTIVE$' \
    '^<warning> \[core\] The device is .*defective state: you must close _all_ the applications using it to recover\.$'
}

cleanup_frix() {
  [ -z "$FRIX_PID" ] || stop_frix TERM
}
trap cleanup_frix EXIT

# Files of ours in /dev/shm: buffer files frix_M_mi0, frix_M_mi1... and the mapping segment frix_M_mi.
shm_files() {
  # frix_pid_map is the machine-wide table of processes that carry libfrixext.
  local file
  for file in /dev/shm/*; do
    file=${file#/dev/shm/}
    [[ ${file,,} == *frix* && $file != frix_pid_map ]] && echo "$file"
  done
  return 0
}

expect_eq() {
  [ "$1" = "$2" ] || fail "${3:-value}: expected '$2', got '$1'"
}

expect_match() {
  grep -qE -- "$2" <<<"$1" || fail "${3:-output} does not match /$2/: $1"
}

expect_file_match() {
  grep -qE -- "$2" "$1" || { cat "$1" >&2; fail "$1 does not match /$2/"; }
}
