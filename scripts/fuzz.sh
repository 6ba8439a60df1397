#!/usr/bin/env bash
# Builds the device fuzzer with clang (build-fuzz) and runs it for the given number of
# seconds (default 60) on a copy of tests/fuzz/corpus. Exits non-zero when it finds an
# input that crashes or breaks a checked property; that input is left in build-fuzz/.
# A finding belongs in tests/fuzz/corpus once it is fixed.
# "scripts/fuzz.sh SECONDS feed" fuzzes the feed driver's stream parser instead, on
# tests/fuzz/feed_corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=build-fuzz
if [ "${2:-device}" = feed ]; then
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DFRIX_FUZZ=ON -DFRIX_SANITIZE=address,undefined -DFRIX_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$dir" -j2 --target frix_feed_fuzzer
  rm -rf "$dir/feed_corpus"
  cp -r tests/fuzz/feed_corpus "$dir/feed_corpus"
  status=0
  "$dir/bin/frix_feed_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/" "$dir/feed_corpus" \
      2>"$dir/feed_fuzz.log" || status=$?
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$dir/feed_fuzz.log" || true
  if [ $status -ne 0 ]; then
    grep -E 'frix fuzz:|ERROR: |SUMMARY:|Test unit written' "$dir/feed_fuzz.log" >&2 || true
    echo "fuzz.sh: feed fuzzer failed (status $status), log in $dir/feed_fuzz.log" >&2
  fi
  exit $status
fi

CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFRIX_FUZZ=ON -DFRIX_SANITIZE=address,undefined -DFRIX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" -j2 --target frix_device_fuzzer

corpus=$dir/corpus
rm -rf "$corpus"
cp -r tests/fuzz/corpus "$corpus"

status=0
# The harness's pollers and mapping clients keep a few threads; one worker, no forks.
# The time limit is above the harness's own longest bounded wait (20 s): an answer that
# never comes is its failure, with the request named, not a bare timeout.
"$dir/bin/frix_device_fuzzer" -max_total_time="$seconds" -max_len=512 -timeout=45 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/" "$corpus" \
    2>"$dir/fuzz.log" || status=$?
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|^#[0-9]+.*DONE' \
    "$dir/fuzz.log" || true
if [ $status -ne 0 ]; then
    grep -E 'frix fuzz:|ERROR: |SUMMARY:|Test unit written' "$dir/fuzz.log" >&2 || true
    echo "fuzz.sh: fuzzer failed (status $status), log in $dir/fuzz.log" >&2
fi
exit $status
