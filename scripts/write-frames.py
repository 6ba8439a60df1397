#!/usr/bin/env python3
"""Feed frix's writer node from Python with nothing but the standard library.

    python3 scripts/write-frames.py /dev/video21 640x480 ff0000     # red, 30 fps
    python3 scripts/write-frames.py /dev/video21 640x480 clip.yuyv  # raw YUYV frames

Sets the output format with VIDIOC_S_FMT, then write()s one whole YUYV frame at a time,
as tools written for loopback cameras do.
"""
import fcntl
import os
import struct
import sys
import time

VIDIOC_S_FMT = 0xC0D05605  # _IOWR('V', 5, struct v4l2_format), 208 bytes
V4L2_BUF_TYPE_VIDEO_OUTPUT = 2
V4L2_FIELD_NONE = 1
YUYV = int.from_bytes(b"YUYV", "little")


def set_format(fd, width, height):
    # struct v4l2_format: type, padding to the union's 8-byte alignment, then
    # struct v4l2_pix_format (twelve 32-bit fields) and the rest of the union.
    fmt = struct.pack("<I4x12I152x", V4L2_BUF_TYPE_VIDEO_OUTPUT, width, height, YUYV,
                      V4L2_FIELD_NONE, width * 2, width * height * 2, 0, 0, 0, 0, 0, 0)
    fcntl.ioctl(fd, VIDIOC_S_FMT, bytearray(fmt))


def yuyv_of(rgb, width, height):
    r, g, b = (int(rgb[i:i + 2], 16) for i in (0, 2, 4))
    y = round(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255)
    u = round(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255)
    v = round(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255)
    return bytes([y, u, y, v]) * (width * height // 2)


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    node, size, source = sys.argv[1:4]
    count = int(sys.argv[4]) if len(sys.argv) == 5 else -1
    width, height = (int(side) for side in size.split("x"))
    frame_size = width * height * 2
    fd = os.open(node, os.O_WRONLY)
    set_format(fd, width, height)
    frames = None if os.path.exists(source) else [yuyv_of(source, width, height)]
    clip = open(source, "rb") if frames is None else None
    sent = 0
    while count < 0 or sent < count:
        frame = frames[0] if frames else clip.read(frame_size)
        if len(frame) < frame_size:  # the end of the clip: from the start again
            clip.seek(0)
            continue
        os.write(fd, frame)
        sent += 1
        time.sleep(1 / 30)


if __name__ == "__main__":
    main()
