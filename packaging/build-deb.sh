#!/usr/bin/env bash
# Builds the Debian package: a build directory of its own for prefix /usr, without tests.
#   packaging/build-deb.sh [build-dir]   (default build-deb; prints the .deb's path)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source_dir/build-deb}
cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DFRIX_BUILD_TESTS=OFF -DFRIX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target frix frixext pattern >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/frix_*.deb
