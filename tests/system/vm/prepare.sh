#!/usr/bin/env bash
# Prepares, once, what the system-test VM boots: a stock Debian kernel (downloaded, not
# installed) and a busybox initramfs with the modules CUSE and the 9p shares need.
# Prints two lines: the kernel image and the initramfs. The cache lives outside the
# source tree, in $FRIX_VM_CACHE (default /var/cache/frix-vm).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${FRIX_VM_CACHE:-/var/cache/frix-vm}
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

package=$(apt-cache depends linux-image-amd64 2>/dev/null |
          sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
[ -n "$package" ] || { echo "prepare: cannot tell which kernel linux-image-amd64 depends on" >&2; exit 1; }
version=${package#linux-image-}
tree="$cache/kernel-$version"

if [ ! -e "$tree/.ready" ]; then
  echo "prepare: fetching $package" >&2
  rm -rf "$tree" "$cache/download"
  mkdir -p "$cache/download"
  (cd "$cache/download" && apt-get download "$package" >&2)
  dpkg-deb -x "$cache"/download/*.deb "$tree"
  depmod -b "$tree" "$version"
  rm -rf "$cache/download"
  touch "$tree/.ready"
fi

vmlinuz="$tree/boot/vmlinuz-$version"
[ -r "$vmlinuz" ] || { echo "prepare: $vmlinuz missing" >&2; exit 1; }

# The initramfs is rebuilt whenever /init or the module list changes.
stamp=$(cat "$here/init" "$here/modules.list" | sha256sum | cut -c1-16)
initrd="$cache/initrd-$version-$stamp.cpio"
if [ ! -s "$initrd" ]; then
  echo "prepare: building the initramfs" >&2
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  mkdir -p "$root/bin" "$root/modules"
  cp /bin/busybox "$root/bin/busybox"
  cp "$here/init" "$root/init"
  cp "$here/modules.list" "$root/modules.list"
  chmod 755 "$root/init"
  grep -v '^#' "$here/modules.list" | while read -r m; do
    [ -n "$m" ] || continue
    ko=$(find "$tree/lib/modules/$version" -name "$m.ko" -o -name "$m.ko.xz" | head -n1)
    [ -n "$ko" ] || { echo "prepare: module $m not found" >&2; exit 1; }
    case "$ko" in
      *.xz) xz -dc "$ko" >"$root/modules/$m.ko" ;;
      *) cp "$ko" "$root/modules/$m.ko" ;;
    esac
  done
  (cd "$root" && find . | cpio -o -H newc --quiet) >"$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
fi

echo "$vmlinuz"
echo "$initrd"
