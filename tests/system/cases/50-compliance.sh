# shellcheck shell=bash
# v4l2-compliance on the node; the full report is kept as an artefact (compliance.txt).
# Every test must pass, with no warning, as for an in-kernel driver. Cases that put a
# kernel camera behind the node (66-v4l2cam.sh) add what that camera itself fails.
COMPLIANCE_EXPECTED_FAILURES=''
# shellcheck disable=SC2034  # read by the cases that source this file
COMPLIANCE_STREAMING_EXPECTED_FAILURES=''

# What v4l2-compliance -s does on purpose: a read() while it streams, mmap() of bad
# offsets and sizes.
# shellcheck disable=SC2034  # read by the cases that source this file
COMPLIANCE_STREAMING_LOG=(
  '^<error> \[core\] read\(\) failed: Device is already in use for streaming by process PID=[0-9]+: Device or resource busy'
  '^<error> \[core\] mmap\(\) failed: Invalid argument'
  # More than five such mmap() calls within the log's 10 s window, as a quick run makes.
  '^<error> \[core\] [0-9]+ more failed mmap\(\) requests in 10 s were not logged$'
)

# check_compliance_report REPORT [EXPECTED-FAILURES [WARNINGS-ALLOWED]]
check_compliance_report() {
  local expected=${2:-$COMPLIANCE_EXPECTED_FAILURES}
  grep -E '^(Total|Grand Total)' "$1" || fail "v4l2-compliance produced no totals"
  if [ -z "${3:-}" ]; then
    grep -E '^Total.*Warnings: 0$' "$1" >/dev/null || {
      grep -E 'warn:' "$1"
      fail "v4l2-compliance warned"
    }
  fi
  local failing
  failing=$(sed -n 's/^\ttest \(.*\): FAIL$/\1/p' "$1" | sort -u)
  echo "failing tests:"
  echo "$failing"
  local unexpected='' test
  while read -r test; do
    [ -z "$test" ] || grep -qxF -- "$test" <<<"$expected" || unexpected+="$test; "
  done <<<"$failing"
  [ -z "$unexpected" ] || fail "unexpected compliance failures: $unexpected"
}

case_compliance() {
  start_frix
  v4l2-compliance -d "$FRIX_NODE" >compliance.txt 2>&1 || true
  check_compliance_report compliance.txt
}
