# shellcheck shell=bash
# The v4l2cam driver in front of a real kernel camera: the kernel's vivid test driver.

VIVID_NODE=/dev/video40
# A small webcam size keeps the emulated machine's frame rate up.
VIVID_FORMAT=width=320,height=180,pixelformat=YUYV
VIVID_FRAME_BYTES=$((320 * 180 * 2))

# load_vivid: one vivid instance with a single webcam capture node at /dev/video40, so the
# frix nodes of the other cases keep their numbers; unloaded when the case ends.
# load_vivid [vivid parameters...]
load_vivid() {
  local release tree
  release=$(uname -r)
  for tree in "${FRIX_VM_CACHE:-/var/cache/frix-vm}/kernel-$release" /var/cache/frix-vm/kernel-"$release"; do
    [ -d "$tree/lib/modules/$release" ] && break
  done
  [ -d "$tree/lib/modules/$release" ] || fail "no module tree for the guest kernel $release"
  modprobe -d "$tree" vivid n_devs=1 vid_cap_nr=40 node_types=0x1 num_inputs=1 input_types=0 "$@" ||
    fail "cannot load vivid"
  VIVID_TREE=$tree
  # The modules it pulled in go with it, so later cases find the kernel as it was.
  trap 'cleanup_frix; modprobe -r -d "$VIVID_TREE" vivid 2>/dev/null' EXIT
  wait_until 30 test -c "$VIVID_NODE" || fail "vivid made no $VIVID_NODE"
  # A still picture: no moving pattern, no text with counters and times.
  v4l2-ctl -d "$VIVID_NODE" -c horizontal_movement=3,vertical_movement=3,osd_text_mode=2 ||
    fail "cannot make vivid's picture still"
}

# frames FILE PREFIX: splits a capture into one file per frame.
frames() {
  split -b "$VIVID_FRAME_BYTES" -d "$1" "$2"
}

case_v4l2cam_reserves_vivid() {
  load_vivid
  v4l2-ctl -d "$VIVID_NODE" --all >vivid-all.txt
  v4l2-ctl -d "$VIVID_NODE" --set-fmt-video="$VIVID_FORMAT" --stream-mmap --stream-count=4 \
    --stream-to=direct.raw || fail "direct capture from vivid failed"

  FRIX_DRIVER=v4l2cam start_frix --camera "$VIVID_NODE"
  expect_file_match frix.log "v4l2cam: serving $VIVID_NODE"
  v4l2-ctl -d "$FRIX_NODE" --info >info.txt
  expect_file_match info.txt 'Driver name +: v4l2cam'
  expect_file_match info.txt 'Bus info +: platform:vivid'
  # Formats and sizes are the camera's own.
  local lists=(--list-formats --list-framesizes=YUYV
               '--list-frameintervals=width=320,height=180,pixelformat=YUYV')
  v4l2-ctl -d "$VIVID_NODE" "${lists[@]}" >formats-vivid.txt
  v4l2-ctl -d "$FRIX_NODE" "${lists[@]}" >formats-frix.txt
  diff formats-vivid.txt formats-frix.txt || fail "frix lists other formats than vivid"
  expect_file_match formats-frix.txt 'Size: Discrete 320x180'
  expect_file_match formats-frix.txt 'Interval: Discrete'


  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --set-fmt-video="$VIVID_FORMAT" \
    --stream-mmap --stream-count=4 --stream-to=frix.raw || fail "capture through frix failed"
  expect_eq "$(stat -c %s frix.raw)" "$(stat -c %s direct.raw)" "bytes captured through frix"
  # vivid's picture is still: every frame through frix is the one vivid gave directly.
  frames direct.raw direct.
  frames frix.raw frix.
  local frame
  for frame in frix.0*; do
    cmp direct.03 "$frame" || fail "$frame differs from vivid's frame"
  done
  # Not an empty picture that would match anything: vivid's colour bars.
  [ "$(od -An -tx1 -v direct.03 | tr -s ' ' '\n' | sort -u | wc -l)" -gt 8 ] ||
    fail "vivid's frame is nearly uniform"
  # The format reached vivid itself.
  v4l2-ctl -d "$VIVID_NODE" --get-fmt-video >vivid-fmt.txt
  expect_file_match vivid-fmt.txt 'Width/Height +: 320/180'

  # Frame rate and controls pass through to the camera.
  v4l2-ctl -d "$FRIX_NODE" --set-parm=15 >parm.txt || fail "VIDIOC_S_PARM through frix failed"
  v4l2-ctl -d "$VIVID_NODE" --get-parm >vivid-parm.txt
  expect_file_match vivid-parm.txt 'Frames per second: 15\.000'
  v4l2-ctl -d "$FRIX_NODE" -c brightness=200 || fail "VIDIOC_S_CTRL through frix failed"
  expect_eq "$(v4l2-ctl -d "$VIVID_NODE" -C brightness)" "brightness: 200" "vivid's brightness"
  expect_eq "$(v4l2-ctl -d "$FRIX_NODE" -C brightness)" "brightness: 200" "brightness through frix"
  v4l2-ctl -d "$FRIX_NODE" -L >controls-frix.txt
  # Menus too, with the entries the camera leaves out (vivid's menu has no item 2).
  expect_file_match controls-frix.txt 'menu 0x0098f904 \(menu\) +: min=1 max=4 default=3 value=3'
  expect_file_match controls-frix.txt '^[[:space:]]+4: Menu Item 4'
  if grep -q 'Menu Item 2' controls-frix.txt; then fail "a menu entry the camera refuses is listed"; fi
  # The range is the camera's: vivid clamps.
  v4l2-ctl -d "$FRIX_NODE" -c brightness=1000 || fail "VIDIOC_S_CTRL of a large value failed"
  expect_eq "$(v4l2-ctl -d "$FRIX_NODE" -C brightness)" "brightness: 255" "clamped brightness"
}

case_v4l2cam_unplug_and_replug() {
  expect_log "^<error> \\[(driver|core)\\] (An error occurred while streaming: )?v4l2cam: lost camera $VIVID_NODE '[^']*': VIDIOC_(DQ|Q)BUF: No such device" \
    '^<error> \[core\] open\(\) failed: Input/output error' \
    "^<warning> \\[driver\\] v4l2cam: lost camera $VIVID_NODE '[^']*' while it was idle: No such device$"
  expect_defective_log
  load_vivid
  FRIX_DRIVER=v4l2cam start_frix --camera "$VIVID_NODE"
  # A handle held across the failure, as another application would.
  exec 5<>"$FRIX_NODE"
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --set-fmt-video="$VIVID_FORMAT" --stream-mmap \
    --stream-count=100000 --stream-to=before.raw >streaming.txt 2>&1 &
  local client=$!
  wait_until 60 test -s before.raw || fail "no frame before the unplug"
  # vivid's emulated unplug; it plugs the camera in again once every handle is closed.
  v4l2-ctl -d "$VIVID_NODE" -c disconnect=1 || fail "cannot disconnect vivid"
  wait_until 60 bash -c "! kill -0 $client 2>/dev/null" || fail "the client was not told about the unplug"
  wait "$client"
  cat streaming.txt
  expect_file_match streaming.txt 'VIDIOC_(DQBUF|QBUF): failed'
  expect_file_match frix.log "lost camera $VIVID_NODE '.*': VIDIOC_DQBUF: No such device"
  expect_file_match frix.log 'DEFECTIVE'
  # While a handle remains, opens and requests fail with EIO.
  v4l2-ctl -d "$FRIX_NODE" --info >reopen.txt 2>&1 && fail "a defective device was opened"
  expect_file_match reopen.txt 'Input/output error'
  python3 -c 'import fcntl; fcntl.ioctl(5, 0x80685600, bytearray(104))' 2>querycap.txt &&
    fail "VIDIOC_QUERYCAP on the old handle succeeded"
  expect_file_match querycap.txt 'Errno 5'
  # The last close recovers: vivid is back, and so is the node.
  exec 5>&-
  wait_until 30 grep -q "found camera $VIVID_NODE '.*' again" frix.log ||
    fail "the camera was not found again"
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --set-fmt-video="$VIVID_FORMAT" --stream-mmap \
    --stream-count=4 --stream-to=after.raw || fail "no stream after the replug"
  expect_eq "$(stat -c %s after.raw)" "$((4 * VIVID_FRAME_BYTES))" "bytes after the replug"
  # Unplugged while nobody streams: the next client does not even notice.
  v4l2-ctl -d "$VIVID_NODE" -c disconnect=1 || fail "cannot disconnect vivid again"
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --set-fmt-video="$VIVID_FORMAT" --stream-mmap \
    --stream-count=4 --stream-to=idle.raw || fail "no stream after an unplug while idle"
  expect_eq "$(stat -c %s idle.raw)" "$((4 * VIVID_FRAME_BYTES))" "bytes after the unplug while idle"
  expect_file_match frix.log "lost camera $VIVID_NODE '.*' while it was idle: No such device"
  expect_eq "$(grep -c "found camera $VIVID_NODE" frix.log)" 2 "cameras found again"
}

case_v4l2cam_refuses_what_is_no_camera() {
  expect_log '^<error> \[driver\] v4l2cam: no kernel capture camera matches (/dev/video41|USB 1234:5678) \(--driver-help lists the cameras\)$' \
    '^<error> \[driver\] v4l2cam: /dev/null is not a V4L2 device$' \
    '^<alert> \[core\] No device detected$' \
    "^<(error|alert)> \\[(driver|core)\\] v4l2cam( driver)?: (cannot serve $VIVID_NODE '[^']*': )?$VIVID_NODE offers no MJPEG format for --encoding mjpeg$"
  load_vivid
  # The node of another frix is never taken for a camera, and a USB id that matches
  # nothing finds none.
  start_frix --video_nr 41
  "$FRIX" -f --driver v4l2cam --camera /dev/video41 --video_nr 42 >own.log 2>&1 &&
    fail "frix served a frix node"
  expect_file_match own.log 'no kernel capture camera matches /dev/video41'
  "$FRIX" -f --driver v4l2cam --usb 1234:5678 --video_nr 42 >usb.log 2>&1 && fail "frix served a missing USB camera"
  expect_file_match usb.log 'no kernel capture camera matches USB 1234:5678'
  "$FRIX" -f --driver v4l2cam --video_nr 42 -- --device /dev/null >null.log 2>&1 && fail "frix served /dev/null"
  expect_file_match null.log '/dev/null is not a V4L2 device'
  # vivid sends no MJPEG to decode.
  "$FRIX" -f --driver v4l2cam --camera "$VIVID_NODE" --encoding mjpeg --video_nr 42 >mjpeg.log 2>&1 &&
    fail "frix decoded a camera without MJPEG"
  expect_file_match mjpeg.log "$VIVID_NODE offers no MJPEG format for --encoding mjpeg"
  # With no choice given, vivid is the camera, not the pattern node.
  "$FRIX" -f --driver v4l2cam --video_nr 43 >auto.log 2>&1 &
  local auto=$!
  wait_until 30 test -c /dev/video43 || { kill $auto; cat auto.log; fail "no node for the first camera"; }
  expect_eq "$(v4l2-ctl -d /dev/video43 --info | sed -n 's/.*Bus info *: //p')" "platform:vivid-000" \
    "the first camera's bus"
  kill -TERM $auto
  wait $auto
  expect_file_match auto.log "v4l2cam: serving $VIVID_NODE"
  "$FRIX" --driver v4l2cam --driver-help >help.txt 2>&1
  expect_file_match help.txt "^  $VIVID_NODE .*driver vivid"
  if grep -q video41 help.txt; then fail "the help lists a frix node as a camera"; fi
}

case_v4l2cam_compliance() {
  source "$(dirname "${BASH_SOURCE[0]}")/50-compliance.sh"
  expect_log "${COMPLIANCE_STREAMING_LOG[@]}"
  # The tool presses every button control, and vivid's error-injection ones unplug it.
  load_vivid no_error_inj=1
  # What vivid itself fails (this v4l2-compliance may expect newer format names than
  # the guest kernel's) is not frix's to answer for.
  v4l2-compliance -d "$VIVID_NODE" -s >compliance-vivid.txt 2>&1 || true
  local vivid_failures
  vivid_failures=$(sed -n 's/^\ttest \(.*\): FAIL$/\1/p' compliance-vivid.txt)
  FRIX_DRIVER=v4l2cam start_frix --camera "$VIVID_NODE"
  LD_PRELOAD=$FRIX_EXT v4l2-compliance -d "$FRIX_NODE" -s >compliance-streaming.txt 2>&1 || true
  # vivid's own warnings come through as they are.
  check_compliance_report compliance-streaming.txt \
    "$COMPLIANCE_STREAMING_EXPECTED_FAILURES"$'\n'"$vivid_failures" warnings-allowed
}

case_v4l2cam_camera_faults() {
  expect_log "^<warning> \\[driver\\] v4l2cam: bad frame from $VIVID_NODE \\([0-9]+ so far\\): the camera marked it as damaged$" \
    "^<error> \\[(driver|core)\\] (An error occurred while streaming: )?v4l2cam: camera $VIVID_NODE '[^']*': VIDIOC_(DQ|Q)BUF: Input/output error"
  expect_defective_log
  load_vivid
  FRIX_DRIVER=v4l2cam start_frix --camera "$VIVID_NODE"
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --set-fmt-video="$VIVID_FORMAT" --stream-mmap \
    --stream-count=100000 --stream-to=frames.raw >streaming.txt 2>&1 &
  local client=$!
  wait_until 60 test -s frames.raw || fail "no frame"
  # A frame the camera marks as damaged is counted, logged and captured again
  # (--drop-bad-frames is on by default): the client streams on.
  v4l2-ctl -d "$VIVID_NODE" -c inject_v4l2_buf_flag_error=1 || fail "cannot damage a frame"
  wait_until 60 grep -q "bad frame from $VIVID_NODE (1 so far): the camera marked it as damaged" frix.log ||
    fail "the damaged frame was not reported"
  local before
  before=$(stat -c %s frames.raw)
  wait_until 60 bash -c "[ \$(stat -c %s frames.raw) -gt $before ]" || fail "no frame after the damaged one"
  kill -0 "$client" || fail "the client stopped at a damaged frame"
  # A camera that fails streaming (vivid's queue error: VIDIOC_DQBUF gives EIO) makes
  # the device defective; it is reopened once the client has gone.
  v4l2-ctl -d "$VIVID_NODE" -c inject_fatal_streaming_error=1 || fail "cannot break the stream"
  wait_until 60 bash -c "! kill -0 $client 2>/dev/null" || fail "the client was not told"
  wait "$client"
  expect_file_match frix.log "camera $VIVID_NODE '.*': VIDIOC_(DQ|Q)BUF: Input/output error"
  expect_file_match frix.log 'DEFECTIVE'
  wait_until 30 grep -q "found camera $VIVID_NODE '.*' again" frix.log || fail "the camera was not reopened"
  LD_PRELOAD=$FRIX_EXT v4l2-ctl -d "$FRIX_NODE" --set-fmt-video="$VIVID_FORMAT" --stream-mmap \
    --stream-count=4 --stream-to=after.raw || fail "no stream after the failure"
  expect_eq "$(stat -c %s after.raw)" "$((4 * VIVID_FRAME_BYTES))" "bytes after the failure"
}
