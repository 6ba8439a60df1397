#!/usr/bin/env bash
# Installs what the tests need, lints the sources and shell scripts, builds frix and runs
# every test: the unit and in-process tests, a short benchmark run, the system tests with
# real clients on a real kernel (VM), the tests again under AddressSanitizer,
# UndefinedBehaviorSanitizer and ThreadSanitizer, and a minute of fuzzing the device.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
step() { echo "== $* ($((SECONDS - start)) s so far)"; }

bash scripts/install-deps.sh vm fuzz

step "lint: formatting and shell scripts"
bash scripts/lint.sh

jobs=$(nproc)
step "build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
step "unit and in-process tests"
ctest --test-dir build --output-on-failure -j"$jobs"

step "in-process benchmarks, briefly: they keep building and working (figures: scripts/bench.sh)"
bash scripts/bench.sh --quick --no-vm

step "the demo, as the README runs it: its own build, a capture through the node, its checks"
FRIX_DEMO_CHECK=1 bash scripts/demo.sh

step "system tests (qemu, real kernel with CUSE)"
bash tests/system/run.sh build

step "sanitizers"
bash scripts/sanitizers.sh

step "fuzzing the device for ${FRIX_FUZZ_SECONDS:-60} s"
bash scripts/fuzz.sh "${FRIX_FUZZ_SECONDS:-60}"

step "all tests passed"
