# shellcheck shell=bash
# Queries and settings through v4l2-ctl, as any V4L2 application would make them.

case_querycap_all() {
  start_frix
  v4l2-ctl -d "$FRIX_NODE" --all >all.txt
  expect_file_match all.txt 'Video Capture'
  expect_file_match all.txt 'Read/Write'
  expect_file_match all.txt 'Width/Height +: 640/480'
  expect_file_match all.txt "Pixel Format +: 'YUYV'"
}

case_list_formats_ext() {
  start_frix
  v4l2-ctl -d "$FRIX_NODE" --list-formats-ext >formats.txt
  for fourcc in YUYV RGB3 GREY; do
    expect_file_match formats.txt "'$fourcc'"
  done
  expect_file_match formats.txt 'Size: Discrete 1920x1080'
  expect_file_match formats.txt 'Size: Discrete 3840x2160'
  expect_file_match formats.txt 'Size: Discrete 160x120'
}

case_set_fmt_video() {
  start_frix
  v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=320,height=240,pixelformat=RGB3 \
    --get-fmt-video >fmt.txt
  expect_file_match fmt.txt 'Width/Height +: 320/240'
  expect_file_match fmt.txt "Pixel Format +: 'RGB3'"
  expect_file_match fmt.txt 'Bytes per Line +: 960'
  expect_file_match fmt.txt 'Size Image +: 230400'
  # An unsupported size is adjusted, not refused.
  v4l2-ctl -d "$FRIX_NODE" --set-fmt-video=width=1000,height=700,pixelformat=GREY \
    --get-fmt-video >adjusted.txt
  expect_file_match adjusted.txt "Pixel Format +: 'GREY'"
  ! grep -q 'Width/Height +: 1000/700' adjusted.txt || fail "1000x700 was accepted as is"
}

case_parm() {
  start_frix
  v4l2-ctl -d "$FRIX_NODE" --set-parm=15 --get-parm >parm.txt
  expect_file_match parm.txt 'Frames per second: 15\.000'
}

case_controls() {
  start_frix
  v4l2-ctl -d "$FRIX_NODE" --list-ctrls >ctrls.txt
  expect_file_match ctrls.txt 'brightness'
  v4l2-ctl -d "$FRIX_NODE" --set-ctrl=brightness=200 --get-ctrl=brightness >ctrl.txt
  expect_file_match ctrl.txt 'brightness: 200'
  # An image-processing control: v4l2-ctl reads and sets it through the extended requests.
  v4l2-ctl -d "$FRIX_NODE" -c test_pattern=1 || fail "v4l2-ctl could not set test_pattern"
  v4l2-ctl -d "$FRIX_NODE" -C test_pattern >pattern.txt
  expect_file_match pattern.txt '^test_pattern: 1'
  expect_file_match ctrls.txt 'Image Processing Controls'
}
