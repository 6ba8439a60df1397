#!/usr/bin/env bash
# Installs everything frix needs to build and test on Debian 12; a no-op when all is present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ccache
  libboost1.74-dev libboost-log1.74-dev libboost-program-options1.74-dev
  libboost-thread1.74-dev libboost-chrono1.74-dev libboost-date-time1.74-dev
  libboost-filesystem1.74-dev libboost-system1.74-dev
  # fuse3 provides "fuse" (CUSE needs neither's tools) and, unlike fuse, lets xdg-desktop-portal in
  libfuse-dev fuse3
  libgtest-dev libgmock-dev libbenchmark-dev
  dpkg-dev file  # cpack -G DEB: dpkg-shlibdeps computes the package's dependencies
  groff-base     # the install tests check the man page
  systemd        # the install tests verify the unit with systemd-analyze
  # the feed driver: conversion and scaling, placeholder images
  libswscale-dev libavutil-dev libyuv-dev
  libavcodec-dev libavformat-dev  # the publish output: H.264, RTSP and SRT
  libturbojpeg0-dev libpng-dev
  libpipewire-0.3-dev  # the streaming server's PipeWire output
  libssl-dev  # the streaming server's HTTPS and its random tokens
  libacl1-dev libsystemd-dev  # frix doctor: access lists, the session bus; sd-login: the
                              # PipeWire output follows the seat's active user
  clang-format shellcheck  # scripts/lint.sh
)
# Extra groups: "vm" for the real-kernel system tests, "fuzz" for the fuzzer.
for group in "$@"; do
  case "$group" in
    vm) packages+=(qemu-system-x86 busybox-static cpio kmod v4l-utils ffmpeg
                   gstreamer1.0-tools gstreamer1.0-plugins-good python3
                   # the streaming server's HTTP clients: curl and a real browser
                   curl
                   chromium firefox-esr
                   # the streaming server's PipeWire output: a user session to publish to
                   pipewire pipewire-bin wireplumber gstreamer1.0-pipewire dbus
                   # browsers through the camera portal, with a stand-in Access dialog
                   xdg-desktop-portal python3-dbus python3-gi libglib2.0-bin
                   # a seat's access list on the node, as udev's uaccess sets it
                   acl
                   ) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "unknown package group: $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
