#!/usr/bin/python3
"""A client that maps its first buffer again and again (run with libfrixext preloaded).

    map_tries.py NODE TRIES
asks for two buffers, then maps buffer 0 TRIES times, looks at its first bytes and
unmaps it; prints "ok=N foreign=N" and a count per errno name of the failed mmap()s,
where foreign counts mappings that show another user's bytes ("X"s).
"""
import collections
import errno
import fcntl
import mmap
import os
import struct
import sys

REQBUFS = (3 << 30) | (20 << 16) | (ord("V") << 8) | 8
QUERYBUF = (3 << 30) | (88 << 16) | (ord("V") << 8) | 9
CAPTURE, MEMORY_MMAP = 1, 1


def main():
    node, tries = sys.argv[1], int(sys.argv[2])
    fd = os.open(node, os.O_RDWR)
    request = bytearray(struct.pack("<IIII4x", 2, CAPTURE, MEMORY_MMAP, 0))
    fcntl.ioctl(fd, REQBUFS, request)
    buffer = bytearray(88)
    struct.pack_into("<II", buffer, 0, 0, CAPTURE)
    fcntl.ioctl(fd, QUERYBUF, buffer)
    offset, length = struct.unpack_from("<I", buffer, 64)[0], struct.unpack_from("<I", buffer, 72)[0]
    counts = collections.Counter(ok=0, foreign=0)
    for _ in range(tries):
        try:
            memory = mmap.mmap(fd, length, mmap.MAP_SHARED, mmap.PROT_READ, offset=offset)
        except OSError as e:
            counts[errno.errorcode.get(e.errno, str(e.errno))] += 1
            continue
        counts["foreign" if memory[:16] == b"X" * 16 else "ok"] += 1
        memory.close()
    print(" ".join(f"{key}={value}" for key, value in counts.items()), flush=True)


if __name__ == "__main__":
    main()
