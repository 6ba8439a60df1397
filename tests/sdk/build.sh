#!/bin/sh
# Builds the solid driver plug-in the way a plug-in author would: against an installed
# frix found through pkg-config only.
#   build.sh PREFIX OUTPUT_DIR   (makes OUTPUT_DIR/libsolid.so)
set -eu
prefix=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
pcdir=$(find "$prefix" -name frix-driver.pc -path '*/pkgconfig/*' -exec dirname {} \; | head -n 1)
[ -n "$pcdir" ] || { echo "build.sh: no frix-driver.pc under $prefix" >&2; exit 1; }
mkdir -p "$out"
# Only the installed SDK: no PKG_CONFIG_PATH of the caller, no source tree.
flags=$(PKG_CONFIG_PATH='' PKG_CONFIG_LIBDIR="$pcdir" pkg-config --cflags --libs frix-driver)
# shellcheck disable=SC2086
${CXX:-c++} -std=c++17 -O2 -Wall -Wextra -Wpedantic -Werror -shared -fPIC -fvisibility=hidden \
    -o "$out/libsolid.so" "$here/solid_driver.cpp" $flags
