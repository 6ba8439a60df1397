#!/usr/bin/env bash
# Runs inside the VM: every case_* function of cases/*.sh (or those matching $1), each
# in its own bash under a time limit, printing PASS/FAIL/SKIP per case and a summary.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export FRIX_BUILD=${FRIX_BUILD:?}
results=${FRIX_VM_RESULTS:-/tmp}/cases
filter=${1:-}
mkdir -p "$results"

# unexpected_log_lines DIR: frix's error and warning lines in DIR/*.log that the case
# did not declare with expect_log, each after its file's name.
unexpected_log_lines() {
  local log expected=$1/expected-log.txt
  [ -f "$expected" ] || expected=/dev/null
  for log in "$1"/*.log; do
    [ -f "$log" ] && [ "$log" != "$1/output.log" ] || continue
    sed 's/\x1b\[[0-9;]*m//g' "$log" |
      grep -E '^<(emergency|alert|critical|error|warning)> ' |
      grep -vE -f "$expected" | awk '!seen[$0]++' |
      sed "s|^|${log##*/}: |"
  done
  return 0
}

passed=0 failed=0 skipped=0
failures=()
for file in "$here"/cases/*.sh; do
  for fn in $(bash -c 'source "$1"; declare -F' _ "$file" | awk '$3 ~ /^case_/ {print $3}'); do
    name=${fn#case_}
    [ -z "$filter" ] || [[ "$name" =~ $filter ]] || continue
    dir="$results/$name"
    rm -rf "$dir"
    mkdir -p "$dir"
    # A case file may give a case more time: TIME_LIMIT_<name>=SECONDS.
    limit=$(bash -c 'source "$1"; limit=TIME_LIMIT_$2; echo "${!limit:-0}"' _ "$file" "$name")
    [ "$limit" -gt "${FRIX_CASE_TIMEOUT:-180}" ] || limit=${FRIX_CASE_TIMEOUT:-180}
    start=$(date +%s%N)
    CASE_DIR=$dir timeout -k 5 "$limit" \
      bash -c 'source "$1/lib.sh"; source "$2"; cd "$CASE_DIR"; set -o pipefail; "$3"' \
      _ "$here" "$file" "$fn" >"$dir/output.log" 2>&1
    status=$?
    # Nothing of a case may outlive it, not even what a killed daemon leaves behind.
    pkill -KILL -x frix 2>/dev/null && sleep 0.2
    rm -f /dev/shm/frix_*
    took=$(( ($(date +%s%N) - start) / 1000000000 ))
    if [ $status -eq 0 ]; then
      unexpected=$(unexpected_log_lines "$dir")
      if [ -n "$unexpected" ]; then
        printf 'FAILED: frix logged what the case does not expect:\n%s\n' "$unexpected" >>"$dir/output.log"
        status=1
      fi
    fi
    case $status in
      0) echo "PASS $name (${took}s)"; passed=$((passed + 1)) ;;
      77) echo "SKIP $name: $(tail -n1 "$dir/output.log")"; skipped=$((skipped + 1)) ;;
      *)
        [ $status -eq 124 ] && echo "time limit reached" >>"$dir/output.log"
        echo "FAIL $name (status $status)"
        sed 's/^/    | /' "$dir/output.log" | tail -n 40
        failed=$((failed + 1))
        failures+=("$name")
        ;;
    esac
  done
done
echo "$passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ] || echo "failed: ${failures[*]}"
[ $failed -eq 0 ]
