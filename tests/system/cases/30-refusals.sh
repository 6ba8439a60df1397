# shellcheck shell=bash
# What misuse gets from a real node: the errno a client sees.

IOCTL=$(dirname "${BASH_SOURCE[0]}")/../tools/ioctl.py

case_second_reader_busy() {
  expect_log '^<error> \[core\] read\(\) failed: Device is already in use (for streaming|\(locked\)) by process PID=[0-9]+: Device or resource busy'
  start_frix
  # The first reader owns the device while it reads.
  dd if="$FRIX_NODE" of=first.raw bs=614400 count=150 iflag=fullblock 2>first.txt &
  local reader=$!
  wait_until 30 test -s first.raw || fail "the first reader got no frame"
  ! dd if="$FRIX_NODE" of=/dev/null bs=614400 count=1 2>second.txt || fail "a second reader was served"
  expect_file_match second.txt 'Device or resource busy'
  ! v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=320,height=240 >sfmt.txt 2>&1 ||
    fail "a second process changed the format"
  expect_file_match sfmt.txt 'Device or resource busy'
  # Queries stay open to everyone.
  v4l2-ctl -d "$FRIX_NODE" --get-fmt-video >/dev/null
  kill "$reader"
  wait "$reader" 2>/dev/null || true
  expect_file_match frix.log 'Device is already in use (for streaming|\(locked\)) by process PID='
}

case_write_enosys() {
  start_frix
  ! (printf 'x' >"$FRIX_NODE") 2>write.txt || fail "write() succeeded"
  expect_file_match write.txt 'Function not implemented'
}

case_unknown_ioctl_enotty() {
  start_frix
  expect_eq "$("$IOCTL" "$FRIX_NODE" 0xc00456c8)" ENOTTY "unknown ioctl"
  expect_eq "$("$IOCTL" "$FRIX_NODE" CROPCAP 0=1)" ENOTTY "VIDIOC_CROPCAP"
  expect_eq "$("$IOCTL" "$FRIX_NODE" S_CROP 0=1)" ENOTTY "VIDIOC_S_CROP"
  expect_eq "$("$IOCTL" "$FRIX_NODE" EXPBUF 0=1)" ENOTTY "VIDIOC_EXPBUF"
  # A served ioctl with a bad argument is EINVAL.
  expect_eq "$("$IOCTL" "$FRIX_NODE" G_FMT 0=2)" EINVAL "VIDIOC_G_FMT for an output buffer type"
  expect_eq "$("$IOCTL" "$FRIX_NODE" G_FMT 0=1)" ok "VIDIOC_G_FMT for capture"
  expect_eq "$("$IOCTL" "$FRIX_NODE" QUERYCAP)" ok "VIDIOC_QUERYCAP"
}

case_no_extension_no_streaming() {
  # Detection by the client's memory map: v4l2-ctl runs without the library.
  start_frix --extension-presence 2
  # Without the preload library a client is not offered mmap streaming.
  v4l2-ctl -d "$FRIX_NODE" --info >info.txt
  ! grep -A4 'Device Caps' info.txt | grep -q Streaming || fail "STREAMING offered without the preload library"
  expect_eq "$("$IOCTL" "$FRIX_NODE" REQBUFS 0=4 4=1 8=1)" EINVAL "VIDIOC_REQBUFS without the preload library"
  expect_file_match frix.log 'has not been preloaded by current application'
}
