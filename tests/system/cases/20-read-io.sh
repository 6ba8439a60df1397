# shellcheck shell=bash
# read() I/O with real clients: the frames are the pattern's, in order.

case_read_dd() {
  start_frix
  dd if="$FRIX_NODE" of=frames.raw bs=614400 count=6 iflag=fullblock 2>dd.txt
  "$FRAME_CHECK" --size 640x480 --format YUYV --min-frames 6 frames.raw
}

case_read_gstreamer() {
  start_frix
  gst-launch-1.0 -q v4l2src device="$FRIX_NODE" io-mode=rw num-buffers=6 \
    ! video/x-raw,format=YUY2,width=640,height=480 ! filesink location=frames.raw
  "$FRAME_CHECK" --size 640x480 --format YUYV --min-frames 6 frames.raw
}

case_read_other_format() {
  start_frix --size 320x240 --format RGB24 --pattern checkerboard
  dd if="$FRIX_NODE" of=frames.raw bs=230400 count=3 iflag=fullblock 2>dd.txt
  "$FRAME_CHECK" --size 320x240 --format RGB24 --pattern checkerboard --min-frames 3 frames.raw
}
