#!/usr/bin/python3
"""Sends one ioctl to a node and prints the outcome: "ok" or the errno's name.

    ioctl.py NODE COMMAND [SIZE] [FIELD=VALUE...] [--then SHELL-COMMAND]
COMMAND is a number (0x... allowed) or one of the names below; the argument is SIZE
zero bytes (the command's own size by default) with 32-bit FIELDs set at byte offsets,
e.g. 0=2 puts 2 in the first four bytes (a buffer type). --then runs a command after the
ioctl, while the node is still open (what the request made is still there).
"""
import errno
import fcntl
import os
import struct
import subprocess
import sys

IOWR, IOW, IOR, NONE = 3, 1, 2, 0


def ioc(direction, nr, size):
    return (direction << 30) | (size << 16) | (ord("V") << 8) | nr


COMMANDS = {
    "QUERYCAP": ioc(IOR, 0, 104),
    "G_FMT": ioc(IOWR, 4, 208),
    "S_FMT": ioc(IOWR, 5, 208),
    "REQBUFS": ioc(IOWR, 8, 20),
    "QUERYBUF": ioc(IOWR, 9, 88),
    "EXPBUF": ioc(IOWR, 16, 64),
    "CROPCAP": ioc(IOWR, 58, 44),
    "G_CROP": ioc(IOWR, 59, 20),
    "S_CROP": ioc(IOW, 60, 20),
    "STREAMON": ioc(IOW, 18, 4),
    "CREATE_BUFS": ioc(IOWR, 92, 256),
}


def main():
    node, command = sys.argv[1], sys.argv[2]
    number = COMMANDS.get(command)
    if number is None:
        number = int(command, 0)
    size = (number >> 16) & 0x3FFF
    args = sys.argv[3:]
    then = None
    if "--then" in args:
        at = args.index("--then")
        args, then = args[:at], args[at + 1]
    fields = []
    for arg in args:
        if "=" in arg:
            offset, value = arg.split("=")
            fields.append((int(offset, 0), int(value, 0)))
        else:
            size = int(arg, 0)
    buf = bytearray(max(size, 4))
    for offset, value in fields:
        struct.pack_into("<I", buf, offset, value)
    fd = os.open(node, os.O_RDWR)
    try:
        fcntl.ioctl(fd, number, buf if size else 0)
        print("ok")
    except OSError as e:
        print(errno.errorcode.get(e.errno, str(e.errno)))
    sys.stdout.flush()
    try:
        if then is not None:
            subprocess.run(then, shell=True, check=False)
    finally:
        os.close(fd)


main()
