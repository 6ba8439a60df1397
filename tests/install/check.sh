#!/usr/bin/env bash
# Checks of an installed frix tree, one per call:
#   check.sh BUILD_DIR PREFIX install|layout|runpath|sdk_headers|sdk_plugin|frix_run|deb|unit_sandbox
set -euo pipefail
build=$1
prefix=$2
case_name=$3
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
runpath='$ORIGIN/../lib:$ORIGIN/../drivers:$ORIGIN/../servers:$ORIGIN/../lib/frix:/usr/local/lib/frix:/usr/lib/frix'
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_file() { [ -e "$prefix/$1" ] || fail "missing $1"; }

libdir() { # the library directory below the prefix that holds libfrixext.so
    local found
    found=$(find "$prefix" -name libfrixext.so -printf '%h\n' | head -n 1)
    echo "${found#"$prefix"/}"
}

case "$case_name" in
install)
    rm -rf "$prefix"
    cmake --install "$build" --prefix "$prefix" >/dev/null
    ;;
layout)
    for f in bin/frix bin/frix-run lib/frix/libpattern.so include/frix/driver.h \
             include/frix/buffer_data.h include/frix/log.h include/frix/registration.h \
             include/frix/server.h lib/udev/rules.d/70-frix.rules \
             lib/systemd/system/frix@.service lib/modules-load.d/frix.conf \
             share/man/man1/frix.1 share/doc/frix/WRITING_A_DRIVER.md share/doc/frix/LICENSE \
             share/doc/frix/video0.conf; do
        expect_file "$f"
    done
    expect_file "$(libdir)/libfrixext.so"
    expect_file "$(libdir)/pkgconfig/frix-driver.pc"
    # The browsers' switches, as the browser's own start-up reads them.
    flags=$(CHROMIUM_FLAGS=--kept sh -c '. "$1"; echo "$CHROMIUM_FLAGS"' _ \
        "$prefix/share/frix/browsers/chromium.d/frix-pipewire-camera" 2>&1)
    [ "$flags" = "--kept --enable-features=WebRtcPipeWireCamera" ] || fail "Chromium's flags: $flags"
    pref=$(python3 -c 'import json, sys
print(json.load(open(sys.argv[1]))["policies"]["Preferences"]["media.webrtc.camera.allow-pipewire"]["Value"])' \
        "$prefix/share/frix/browsers/firefox/policies.json" 2>&1)
    [ "$pref" = True ] || fail "Firefox's policy: $pref"
    # Daemon internals are not part of the SDK.
    [ -z "$(find "$prefix/include/frix" -mindepth 1 -maxdepth 1 ! -name '.*' ! -name buffer_data.h \
            ! -name driver.h ! -name fourcc.h ! -name log.h ! -name pixel_formats.h \
            ! -name plugin_options.h ! -name registration.h ! -name server.h \
            ! -name v4l2_helpers.h ! -name writer.h)" ] ||
        fail "unexpected headers: $(ls "$prefix/include/frix")"
    grep -q 'Boost.Interprocess\|boost/interprocess\|boost/intrusive\|BufferManager' \
        "$prefix"/include/frix/*.h && fail "SDK headers name daemon internals"
    # Test plug-ins are never installed.
    for test_plugin in faulty minimal misnamed throwing empty solid; do
        [ ! -e "$prefix/lib/frix/lib$test_plugin.so" ] || fail "test plug-in lib$test_plugin.so installed"
    done
    unit=$prefix/lib/systemd/system/frix@.service
    grep -qx "ExecStart=$prefix/bin/frix --foreground --device-name=%i --config-file=/etc/frix/%i.conf \$DRIVER_OPTIONS" "$unit" \
        || fail "ExecStart of the unit: $(grep ExecStart= "$unit")"
    grep -qx 'ExecStartPre=-+/sbin/modprobe cuse' "$unit" || fail "unit loads no cuse"
    grep -qx 'Restart=on-failure' "$unit" || fail "unit does not restart"
    if command -v systemd-analyze >/dev/null; then
        cp "$unit" "$build/frix@video0.service"
        out=$(systemd-analyze verify --man=no "$build/frix@video0.service" 2>&1 || true)
        rm -f "$build/frix@video0.service"
        [ -z "$out" ] || fail "systemd-analyze: $out"
    fi
    grep -qx 'SUBSYSTEM=="cuse", KERNEL=="video\[0-9\]\*", GROUP="video", MODE="0660", TAG+="uaccess"' \
        "$prefix/lib/udev/rules.d/70-frix.rules" || fail "udev rule"
    [ "$(grep -v '^#' "$prefix/lib/modules-load.d/frix.conf")" = cuse ] || fail "modules-load file"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 groff -man -Tutf8 -ww -z "$prefix/share/man/man1/frix.1" 2>&1)
    [ -z "$warnings" ] || fail "man page: $warnings"
    # Every long option of frix's --help is in the man page.
    for option in $("$prefix/bin/frix" --help | grep -o '^  \(-[a-zA-Z] \[ \)\?--[a-z_-]*' | grep -o -- '--[a-z_-]*'); do
        grep -q -- "$(echo "$option" | sed 's/-/\\\\-/g')" "$prefix/share/man/man1/frix.1" \
            || fail "man page lacks $option"
    done
    ;;
runpath)
    for program in "$build/bin/frix" "$prefix/bin/frix"; do
        got=$(readelf -d "$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
        [ "$got" = "$runpath" ] || fail "$program: run path [$got]"
        case ":$got:" in *::*) fail "$program: empty run path entry" ;; esac
        readelf -d "$program" | grep -q '(RPATH)' && fail "$program: has an RPATH too"
    done
    # Installed plug-ins load from where the run path points, for the system prefixes.
    out=$("$prefix/bin/frix" --libdir "$prefix/lib/frix" --driver pattern --driver-help 2>&1)
    grep -q '^Options of the pattern driver' <<<"$out" || fail "installed pattern help: $out"
    # Below any prefix, without --libdir: the plug-ins beside the installed program. Not
    # in a sanitizer build: its dlopen() interceptor is the caller, whose run path is none.
    if [ -z "${FRIX_SANITIZED:-}" ]; then
        out=$("$prefix/bin/frix" --driver pattern --driver-help 2>&1)
        grep -q '^Options of the pattern driver' <<<"$out" || fail "pattern not found below $prefix: $out"
    fi
    ;;
sdk_headers)
    # Each public header alone, then all together, with only the installed include dir.
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    all=$work/all.cpp
    : >"$all"
    for header in "$prefix"/include/frix/*.h; do
        name=frix/$(basename "$header")
        echo "#include <$name>" >"$work/one.cpp"
        echo "#include <$name>" >>"$all"
        c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I "$prefix/include" "$work/one.cpp" \
            || fail "$name does not compile alone"
    done
    echo 'int main() { frix::BufferState s = frix::BufferState::Complete; return static_cast<int>(s) - 2; }' >>"$all"
    flags=$(PKG_CONFIG_PATH='' PKG_CONFIG_LIBDIR="$prefix/$(libdir)/pkgconfig" pkg-config --cflags frix-driver)
    # shellcheck disable=SC2086
    c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -c -o "$work/all.o" "$all" $flags \
        || fail "the headers do not compile together"
    # The source tree is not needed: nothing outside include/frix is named.
    grep -h '#include "' "$prefix"/include/frix/*.h | grep -v '"frix/' && fail "a header includes a non-SDK file"
    ;;
sdk_plugin)
    work=$build/tests/install/sdk-plugin
    rm -rf "$work"
    "$source_dir/tests/sdk/build.sh" "$prefix" "$work"
    out=$("$prefix/bin/frix" --libdir "$work" --driver solid --driver-help 2>&1)
    grep -q '^Options of the solid driver' <<<"$out" || fail "solid help: $out"
    # The factory runs inside the installed frix; a bad option is the driver's own error.
    out=$("$prefix/bin/frix" -f --libdir "$work" --driver solid --level 300 2>&1) && fail "level 300 accepted"
    grep -q 'solid driver: --level must be 0 to 255' <<<"$out" || fail "solid error: $out"
    ;;
frix_run)
    probe='printf "%s\n" "$LD_PRELOAD"'
    for launcher in "$build/bin/frix-run" "$prefix/bin/frix-run"; do
        tree=$(cd "$(dirname "$launcher")/.." && pwd)
        want=$(readlink -f "$(find "$tree" -maxdepth 3 -name libfrixext.so | head -n 1)")
        got=$(env -u LD_PRELOAD "$launcher" sh -c "$probe")
        [ "$got" = "$want" ] || fail "$launcher: LD_PRELOAD=[$got], want [$want]"
        got=$(LD_PRELOAD=/lib/x86_64-linux-gnu/libm.so.6 "$launcher" sh -c "$probe")
        [ "$got" = "$want:/lib/x86_64-linux-gnu/libm.so.6" ] || fail "$launcher: prepended [$got]"
        # Through a symbolic link, as a user's ~/bin/frix-run would be.
        ln -sf "$launcher" "$build/frix-run-link"
        got=$(env -u LD_PRELOAD "$build/frix-run-link" sh -c "$probe")
        rm -f "$build/frix-run-link"
        [ "$got" = "$want" ] || fail "$launcher through a link: [$got]"
        "$launcher" sh -c 'exit 7' && fail "exit status lost" || [ $? -eq 7 ] || fail "exit status not 7"
        "$launcher" --help | grep -q '^Usage: frix-run COMMAND \[ARGS...\]' || fail "$launcher --help"
        "$launcher" >/dev/null 2>&1 && fail "$launcher without a command succeeded"
    done
    # A copy without its library says so.
    lonely=$(mktemp -d)
    mkdir "$lonely/bin"
    cp "$prefix/bin/frix-run" "$lonely/bin/"
    out=$("$lonely/bin/frix-run" true 2>&1) && fail "ran without the library"
    rm -rf "$lonely"
    grep -q '^frix-run: cannot find libfrixext.so' <<<"$out" || fail "missing library message: $out"
    ;;
deb)
    # cpack in this build tree; the VM case installs the result.
    out_dir=$build/tests/install/deb
    rm -rf "$out_dir"
    (cd "$build" && cpack -G DEB -B "$out_dir" >/dev/null)
    deb=$(ls "$out_dir"/frix_*_amd64.deb)
    files=$(dpkg-deb -c "$deb" | awk '{print $6}')
    for f in ./usr/bin/frix ./usr/bin/frix-run ./usr/lib/frix/libpattern.so \
             ./usr/include/frix/driver.h ./usr/lib/udev/rules.d/70-frix.rules \
             ./usr/lib/systemd/system/frix@.service ./usr/lib/modules-load.d/frix.conf \
             ./usr/share/man/man1/frix.1 ./usr/share/doc/frix/WRITING_A_DRIVER.md \
             ./usr/share/frix/browsers/chromium.d/frix-pipewire-camera \
             ./usr/share/frix/browsers/firefox/policies.json; do
        grep -qx -- "$f" <<<"$files" || fail "the package lacks $f"
    done
    grep -q '/libfrixext.so$' <<<"$files" || fail "the package lacks libfrixext.so"
    grep -q '/pkgconfig/frix-driver.pc$' <<<"$files" || fail "the package lacks frix-driver.pc"
    # The browsers' switches are opt-in: nothing of the package lands where browsers look.
    grep -qE '^\./etc/(chromium\.d|firefox)' <<<"$files" && fail "the package turns a browser's switch on"
    grep -q '/usr/local\|/tests/' <<<"$files" && fail "stray files: $(grep '/usr/local\|/tests/' <<<"$files")"
    depends=$(dpkg-deb -f "$deb" Depends)
    for p in libfuse2 libboost-log1.74.0 libboost-program-options1.74.0 libboost-thread1.74.0 \
             libboost-filesystem1.74.0 libstdc++6 kmod; do
        grep -q "\b$p\b" <<<"$depends" || fail "Depends lacks $p: $depends"
    done
    unpacked=$out_dir/root
    dpkg-deb -x "$deb" "$unpacked"
    grep -qx 'ExecStart=/usr/bin/frix --foreground --device-name=%i --config-file=/etc/frix/%i.conf $DRIVER_OPTIONS' \
        "$unpacked/usr/lib/systemd/system/frix@.service" || fail "the unit does not run /usr/bin/frix"
    grep -qx 'prefix=/usr' "$(find "$unpacked" -name frix-driver.pc)" || fail "frix-driver.pc prefix"
    dpkg-deb -e "$deb" "$out_dir/control"
    grep -q 'modprobe cuse' "$out_dir/control/postinst" || fail "postinst loads no cuse"
    ;;
unit_sandbox)
    # The service's sandbox: each setting stays, and systemd rates the whole well below its
    # 5.0 "medium" (2.9 when this was written; 9.6 without the sandbox).
    unit=$prefix/lib/systemd/system/frix@.service
    for line in 'CapabilityBoundingSet=CAP_CHOWN CAP_FOWNER CAP_DAC_OVERRIDE CAP_SYS_PTRACE CAP_IPC_LOCK CAP_SETUID CAP_SETGID CAP_KILL' \
        NoNewPrivileges=yes ProtectSystem=strict RuntimeDirectory=frix RuntimeDirectoryPreserve=yes \
        ReadWritePaths=/dev/shm ProtectHome=read-only PrivateMounts=yes PrivateTmp=yes \
        DevicePolicy=closed 'DeviceAllow=/dev/cuse rw' 'DeviceAllow=char-video4linux rw' UMask=0077 \
        ProtectKernelTunables=yes ProtectKernelModules=yes ProtectKernelLogs=yes \
        ProtectControlGroups=yes ProtectClock=yes ProtectHostname=yes \
        'RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6' RestrictNamespaces=yes LockPersonality=yes \
        MemoryDenyWriteExecute=yes RestrictRealtime=yes RestrictSUIDSGID=yes \
        SystemCallArchitectures=native SystemCallFilter=@system-service SystemCallErrorNumber=EPERM; do
        grep -qxF -- "$line" "$unit" || fail "the unit lacks $line"
    done
    command -v systemd-analyze >/dev/null || { fail "no systemd-analyze (scripts/install-deps.sh)"; exit 1; }
    report=$(systemd-analyze security --offline=true "$unit" 2>&1) || true
    score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$report")
    [ -n "$score" ] || { fail "systemd-analyze gave no score: $report"; exit 1; }
    echo "systemd-analyze security: $score"
    awk -v s="$score" 'BEGIN { exit !(s < 3.5) }' || fail "exposure $score, above 3.5: $report"
    ;;
*)
    echo "check.sh: unknown case $case_name" >&2
    exit 2
    ;;
esac
[ "$failures" -eq 0 ]
