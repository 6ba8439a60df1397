#!/usr/bin/env bash
# Runs the system tests: the real frix and real V4L2 clients on a stock Debian kernel
# with CUSE, booted once under qemu.
#   run.sh [build-dir] [case-regex]
# Artefacts (each case's output, frix's log, v4l2-compliance reports) are kept in
# <build-dir>/system-results/cases/<case>/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
[ -x "$build/bin/frix" ] || { echo "run.sh: no frix in $build/bin; build first" >&2; exit 2; }
results="$build/system-results"
rm -rf "$results"
mkdir -p "$results"
FRIX_BUILD=$build "$here/vm/boot.sh" -t "${FRIX_VM_TIMEOUT:-2700}" -o "$results" \
  env FRIX_BUILD="$build" FRIX_CASE_TIMEOUT="${FRIX_CASE_TIMEOUT:-300}" bash "$here/guest.sh" "${2:-}"
