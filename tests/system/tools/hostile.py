#!/usr/bin/python3
"""A local user who tries to get at a camera through /dev/shm.

    hostile.py files PREFIX      tries to read, write and truncate every buffer file
                                 PREFIX<n>; prints one line per file and attempt
    hostile.py hold SEGMENT      takes the request record's lock word, prints "held"
                                 and keeps it until killed
    hostile.py plant NAME NODE   plants a segment NAME that looks like a served record
                                 for NODE; prints "planted"
    hostile.py forge SEGMENT SECONDS
                                 plants SEGMENT90 (bytes "X") and SEGMENT91 (empty);
                                 for SECONDS, answers every request posted to the
                                 record first, with index 90 or 91 in turn; prints
                                 "ready", then "forged N"
    hostile.py bogus SEGMENT SECONDS
                                 for SECONDS, posts requests for pids that match no
                                 process, one after the other; prints "posted N
                                 answered M"
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


REQUEST_SEQ, REPLY_SEQ, POSTED, REPLIED, ERROR, INDEX = 56, 60, 65, 66, 112, 120
SYS_FUTEX, FUTEX_WAIT, FUTEX_WAKE = 202, 0, 1


def open_record(segment):
    """The request record mapped for writing, its two sequence words and a 100 ms nap."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    fd = os.open("/dev/shm/" + segment, os.O_RDWR)
    memory = mmap.mmap(fd, 4096)
    request_seq = ctypes.c_uint32.from_buffer(memory, REQUEST_SEQ)
    reply_seq = ctypes.c_uint32.from_buffer(memory, REPLY_SEQ)
    nap = (ctypes.c_long * 2)(0, 100 * 1000 * 1000)
    return libc, memory, request_seq, reply_seq, nap


def forge(segment, seconds):
    import time
    for index, size in ((90, 1 << 20), (91, 0)):
        path = f"/dev/shm/{segment}{index}"
        fd = os.open(path, os.O_CREAT | os.O_TRUNC | os.O_WRONLY, 0o644)
        os.write(fd, b"X" * size)
        os.close(fd)
    libc, memory, request_seq, reply_seq, nap = open_record(segment)
    end = time.monotonic() + float(seconds)
    forged = 0
    print("ready", flush=True)
    while time.monotonic() < end:
        seen = request_seq.value
        libc.syscall(SYS_FUTEX, ctypes.byref(request_seq), FUTEX_WAIT, seen, nap, None, 0)
        if memory[POSTED] != 1:
            continue
        # Before the daemon takes it, or while it resolves it: it does not answer twice.
        memory[POSTED] = 0
        struct.pack_into("<i", memory, ERROR, 0)
        struct.pack_into("<Q", memory, INDEX, 90 + forged % 2)
        memory[REPLIED] = 1
        reply_seq.value += 1
        libc.syscall(SYS_FUTEX, ctypes.byref(reply_seq), FUTEX_WAKE, 0x7FFFFFFF, None, None, 0)
        forged += 1
    print(f"forged {forged}", flush=True)


PID, LENGTH, FD, CLAIM_PID, CLAIM_STAMP = 68, 80, 96, 100, 116


def bogus(segment, seconds):
    import time
    libc, memory, request_seq, reply_seq, nap = open_record(segment)
    end = time.monotonic() + float(seconds)
    posted = answered = 0
    while time.monotonic() < end:
        # Above any pid_max; without the lock, as a hostile poster would.
        struct.pack_into("<i", memory, PID, 5000000 + posted % 100000)
        struct.pack_into("<Q", memory, LENGTH, 4096)
        struct.pack_into("<i", memory, FD, 3)
        struct.pack_into("<iI", memory, CLAIM_PID, os.getpid(), 0)
        memory[REPLIED] = 0
        memory[POSTED] = 1
        request_seq.value += 1
        libc.syscall(SYS_FUTEX, ctypes.byref(request_seq), FUTEX_WAKE, 0x7FFFFFFF, None, None, 0)
        posted += 1
        seen = reply_seq.value
        if memory[REPLIED] == 0:
            libc.syscall(SYS_FUTEX, ctypes.byref(reply_seq), FUTEX_WAIT, seen, nap, None, 0)
        answered += memory[REPLIED]
    print(f"posted {posted} answered {answered}", flush=True)


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
    {"files": files, "hold": hold, "plant": plant, "forge": forge,
     "bogus": bogus, "pester": pester}[command](*args)
