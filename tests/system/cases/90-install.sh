# shellcheck shell=bash
# The installed frix: a tree made by the project's own install scripts, an out-of-tree
# plug-in built against it through pkg-config, and the Debian package.

# The guest's root (the build tree included) is read-only: install into /tmp by running each
# directory's install script, which is what cmake --install does but for its manifest.
install_prefix() {
  INSTALL_PREFIX=/tmp/frix-prefix
  rm -rf "$INSTALL_PREFIX"
  local script
  for script in "$FRIX_BUILD"/*/cmake_install.cmake; do
    cmake -DCMAKE_INSTALL_PREFIX="$INSTALL_PREFIX" -P "$script" >>install.log ||
      fail "install script $script failed"
  done
  [ -x "$INSTALL_PREFIX/bin/frix" ] && [ -x "$INSTALL_PREFIX/bin/frix-run" ] ||
    fail "nothing installed: $(find "$INSTALL_PREFIX" | head)"
}

# check_solid_frames FILE COUNT: COUNT 160x120 frames, each of one byte value, each 1 more.
check_solid_frames() {
  python3 - "$1" "$2" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
size, count = 160 * 120, int(sys.argv[2])
frames = [data[i:i + size] for i in range(0, len(data), size)]
assert len(data) % size == 0 and len(frames) >= count, f"{len(data)} bytes"
levels = []
for n, frame in enumerate(frames):
    assert frame == bytes([frame[0]]) * size, f"frame {n} is not solid"
    levels.append(frame[0])
for a, b in zip(levels, levels[1:]):
    assert b == (a + 1) % 256, f"levels {levels}"
print("levels", levels)
PY
}

case_install_prefix_streams() {
  install_prefix
  # shellcheck disable=SC2034  # start_frix runs $FRIX
  FRIX=$INSTALL_PREFIX/bin/frix
  start_frix --libdir "$INSTALL_PREFIX/lib/frix"
  v4l2-ctl -d "$FRIX_NODE" --all >all.txt
  expect_file_match all.txt 'Video Capture'
  expect_file_match all.txt "Pixel Format +: 'YUYV'"
  "$INSTALL_PREFIX/bin/frix-run" v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=8 \
    --stream-to=frames.raw
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 8 frames.raw ||
    fail "frames.raw: not the frames streamed"
  # Without frix-run the same client gets no frame through mmap.
  v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=1 --stream-to=bare.raw >bare.txt 2>&1 || true
  [ ! -s bare.raw ] || fail "streamed without the preload library"
  stop_frix TERM
  expect_eq "$FRIX_STATUS" 0 "exit status"
}

case_install_sdk_plugin_streams() {
  install_prefix
  # The host's ctest builds the same plug-in; building it under emulation takes long.
  local plugin=$FRIX_BUILD/tests/install/sdk-plugin
  if [ ! -f "$plugin/libsolid.so" ]; then
    plugin=/tmp/sdk-plugin
    "$(dirname "${BASH_SOURCE[0]}")/../../sdk/build.sh" "$INSTALL_PREFIX" "$plugin" ||
      fail "the plug-in does not build against the installed prefix"
  fi
  FRIX=$INSTALL_PREFIX/bin/frix FRIX_DRIVER=solid start_frix --libdir "$plugin" --level 10
  expect_file_match "$CASE_DIR/frix.log" 'solid driver: level 10'
  v4l2-ctl -d "$FRIX_NODE" --get-fmt-video >fmt.txt
  expect_file_match fmt.txt "Pixel Format +: 'GREY'"
  expect_file_match fmt.txt 'Width/Height +: 160/120'
  "$INSTALL_PREFIX/bin/frix-run" v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=6 \
    --stream-to=frames.raw
  check_solid_frames frames.raw 6
}

# The .deb the host built (ctest -R install_deb, or packaging/build-deb.sh): its contents
# and dependencies, its maintainer script, and its frix streaming.
case_install_deb() {
  local deb='' candidate
  for candidate in "${FRIX_DEB:-$FRIX_BUILD/tests/install/deb}"/frix_*_amd64.deb \
    "$FRIX_BUILD"/../build-deb/frix_*_amd64.deb; do
    [ -f "$candidate" ] && { deb=$candidate; break; }
  done
  if [ -z "$deb" ]; then
    echo "no package: run ctest -R install_deb or packaging/build-deb.sh first"
    exit 77
  fi
  dpkg-deb -c "$deb" | awk '{print $6}' >files.txt
  for f in ./usr/bin/frix ./usr/bin/frix-run ./usr/lib/frix/libpattern.so \
           ./usr/lib/systemd/system/frix@.service ./usr/lib/udev/rules.d/70-frix.rules \
           ./usr/lib/modules-load.d/frix.conf ./usr/share/man/man1/frix.1 \
           ./usr/include/frix/driver.h ./usr/share/frix/browsers/chromium.d/frix-pipewire-camera \
           ./usr/share/frix/browsers/firefox/policies.json; do
    grep -qx -- "$f" files.txt || fail "the package lacks $f"
  done
  grep -q 'libfrixext.so$' files.txt || fail "the package lacks libfrixext.so"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for p in libfuse2 libboost-log1.74.0 libboost-program-options1.74.0 libboost-thread1.74.0 kmod; do
    grep -q "\b$p\b" <<<"$depends" || fail "Depends lacks $p: $depends"
  done
  # Each dependency is satisfied by this Debian 12 system's own packages.
  local dep name op version installed
  while read -r dep; do
    read -r name op version <<<"$(sed 's/[()]//g' <<<"$dep")"
    installed=$(dpkg-query -W -f='${Status} ${Version}' "$name" 2>/dev/null) ||
      fail "dependency $name is not a package here"
    expect_match "$installed" '^install ok installed ' "status of $name"
    [ -z "$op" ] || dpkg --compare-versions "${installed##* }" "$op" "$version" ||
      fail "$name ${installed##* } does not satisfy $op $version"
  done < <(tr ',' '\n' <<<"$depends" | sed 's/^ *//')
  # The guest's root is read-only: dpkg installs into a root under /tmp, with its own
  # database, running the maintainer script here (dependencies are those of this system).
  local root=/tmp/deb-root
  rm -rf "$root"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >dpkg.log 2>&1 ||
    { cat dpkg.log >&2; fail "dpkg -i failed"; }
  expect_match "$(dpkg --root="$root" -s frix)" 'Status: install ok installed' "dpkg -s frix"
  local missing
  missing=$(ldd "$root/usr/bin/frix" "$root"/usr/lib/frix/*.so | grep 'not found' || true)
  [ -z "$missing" ] || fail "unresolved libraries: $missing"
  expect_file_match dpkg.log 'Setting up frix'
  # The maintainer script as on a real installation: cuse is loaded here already.
  sh "$root/var/lib/dpkg/info/frix.postinst" configure >postinst.log 2>&1 || fail "postinst failed"
  [ ! -s postinst.log ] || fail "postinst: $(cat postinst.log)"
  echo "package: $deb"
  FRIX=$root/usr/bin/frix start_frix --libdir "$root/usr/lib/frix"
  "$root/usr/bin/frix-run" v4l2-ctl -d "$FRIX_NODE" --stream-mmap --stream-count=6 \
    --stream-to=frames.raw
  "$FRAME_CHECK" --size 640x480 --format YUYV --consecutive --min-frames 6 frames.raw
}
