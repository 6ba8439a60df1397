#!/usr/bin/env bash
# Builds frix with AddressSanitizer + UndefinedBehaviorSanitizer (build-asan, every test)
# and ThreadSanitizer (build-tsan, the tests labelled "threaded") and runs the tests.
# Exits non-zero on a failed test or on any sanitizer report, also one written by a
# child process whose status no test looks at: reports go to files, which must stay empty.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=2
start=$SECONDS

reports=$root/build-sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"

export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="log_path=$reports/tsan:halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp"

build() {  # build <dir> <sanitizers> [targets...]
    local dir=$1 sanitizers=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFRIX_SANITIZE="$sanitizers" \
        -DFRIX_BUILD_BENCHMARKS=OFF >/dev/null
    cmake --build "$dir" -j"$jobs" ${1:+--target "$@"}
}

status=0
build build-asan address,undefined
ctest --test-dir build-asan --output-on-failure -j"$jobs" || status=1

# Only the programs of the threaded tests: ctest -L leaves the others' placeholders alone.
build build-tsan thread device_tests frix_buffers_tests frix_mapping_tests plugins_test \
    plugins_program_test device_fuzz_corpus_test feed_driver_test
ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L threaded || status=1
# The streaming server's threads (network, encoder, PipeWire) against its fake source.
build build-tsan thread streaming_server_test
build-tsan/bin/streaming_server_test --gtest_filter='StreamingServer*:Broadcaster*:MjpegOutput*:PipewireChild*:PipewireSocket*' \
    >"$root/build-tsan/streaming_server_test.log" 2>&1 ||
    { tail -40 build-tsan/streaming_server_test.log; status=1; }

if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    for file in "$reports"/*; do
        echo "== $file" >&2
        cat "$file" >&2
    done
    status=1
fi
echo "sanitizers.sh: $((SECONDS - start)) s, $([ $status -eq 0 ] && echo clean || echo FAILED)"
exit $status
