#!/usr/bin/python3
"""A local user who tries to get at a camera through /dev/shm.

    hostile.py files PREFIX      tries to read, write and truncate every buffer file
                                 PREFIX<n>; prints one line per file and attempt
    hostile.py hold SEGMENT      takes the request record's lock word, prints "held"
                                 and keeps it until killed
    hostile.py plant NAME NODE   plants a segment NAME that looks like a served record
                                 for NODE; prints "planted"
    hostile.py pester PREFIX SECONDS
                                 for SECONDS, again and again: the buffer files PREFIX<n>
                                 (read, write, truncate), /dev/cuse, the segment PREFIX;
                                 prints "reached NAME" for anything it got, then
                                 "pestered N times"
"""
import ctypes
import errno
import mmap
import os
import re
import signal
import struct
import sys

LOCK_OFFSET = 16
MAGIC, VERSION = 0x5846524D, 3


def attempt(action):
    try:
        action()
        return "ok"
    except OSError as e:
        return errno.errorcode.get(e.errno, str(e.errno))


def files(prefix):
    names = [n for n in os.listdir("/dev/shm")
             if n.startswith(prefix) and re.fullmatch(r"\d+", n[len(prefix):])]
    for name in sorted(names):
        path = "/dev/shm/" + name

        def read():
            with open(path, "rb") as f:
                f.read(16)

        def write():
            fd = os.open(path, os.O_WRONLY)
            os.close(fd)

        print(f"{name} read={attempt(read)} write={attempt(write)} "
              f"truncate={attempt(lambda: os.truncate(path, 0))}", flush=True)
    print(f"files={len(names)}", flush=True)


def hold(segment):
    fd = os.open("/dev/shm/" + segment, os.O_RDWR)
    memory = mmap.mmap(fd, 4096)
    lock = ctypes.c_uint32.from_buffer(memory, LOCK_OFFSET)
    # Taken whatever it held: a hostile holder does not ask.
    lock.value = os.getpid()
    print("held", flush=True)
    while True:
        signal.pause()


def plant(name, node):
    device = os.stat(node).st_rdev
    fd = os.open("/dev/shm/" + name, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o666)
    os.ftruncate(fd, 4096)
    record = bytearray(4096)
    struct.pack_into("<IIQ", record, 0, MAGIC, VERSION, device)
    record[64] = 1  # serving
    os.pwrite(fd, bytes(record), 0)
    os.fchmod(fd, 0o666)
    print("planted", flush=True)


def pester(prefix, seconds):
    import time
    end = time.monotonic() + float(seconds)
    rounds = 0
    while time.monotonic() < end:
        rounds += 1
        for name in os.listdir("/dev/shm"):
            if not name.startswith(prefix):
                continue
            path = "/dev/shm/" + name
            for action in (lambda: open(path, "rb").read(16),
                           lambda: os.close(os.open(path, os.O_WRONLY)),
                           lambda: os.truncate(path, 0)):
                if attempt(action) == "ok" and name != prefix:
                    print("reached", name, flush=True)
        if attempt(lambda: os.close(os.open("/dev/cuse", os.O_RDWR))) == "ok":
            print("reached /dev/cuse", flush=True)
    print(f"pestered {rounds} times", flush=True)


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    {"files": files, "hold": hold, "plant": plant, "pester": pester}[command](*args)
