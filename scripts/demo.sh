#!/usr/bin/env bash
# Builds frix and shows what it is.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target frix
build/bin/frix --program-info
build/bin/frix --help
