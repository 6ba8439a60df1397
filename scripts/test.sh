#!/usr/bin/env bash
# Installs what the tests need, builds frix and runs every test: the unit and
# in-process tests, a short benchmark run, then the system tests with real clients
# on a real kernel (VM).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh vm

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== in-process benchmarks, briefly: they keep building and working (figures: scripts/bench.sh)"
bash scripts/bench.sh --quick --no-vm

echo "== system tests (qemu, real kernel with CUSE)"
bash tests/system/run.sh build
