#!/usr/bin/env bash
# Every plug-in source of the tree must preprocess with only the installed SDK's
# include/ and its own folder on the include path: a plug-in that reaches into the
# daemon's sources, or into another plug-in's, fails here.
#   include_boundary.sh SOURCE_DIR COMPILER
set -euo pipefail
source_dir=$1
compiler=$2
# The other libraries plug-ins use; their headers are not frix's.
read -r -a external <<<"$(pkg-config --cflags libswscale libavutil libturbojpeg libpng libpipewire-0.3)"

checked=0
failed=0
for dir in "$source_dir"/drivers/*/ "$source_dir"/servers/; do
  for file in "$dir"*.cpp; do
    if ! "$compiler" -std=c++17 -E -o /dev/null -I "$source_dir/include" -I "$dir" "${external[@]}" \
      "$file" 2>"${TMPDIR:-/tmp}/include_boundary.err"; then
      echo "FAIL: ${file#"$source_dir"/} needs more than include/ and its own folder:"
      grep -m 3 'fatal error' "${TMPDIR:-/tmp}/include_boundary.err" || true
      failed=$((failed + 1))
    fi
    checked=$((checked + 1))
  done
done
echo "$checked plug-in sources checked, $failed reach outside include/ and their own folder"
[ "$checked" -gt 0 ] && [ "$failed" -eq 0 ]
