#!/usr/bin/env python3
"""Prints the benchmark table from what scripts/bench.sh collected in one directory:
device.json and buffers.json (Google Benchmark), ext.txt (frix_bench_ext) and, after a
VM run, vm/bench.txt ("<metric> <value> <unit>" lines from bench/vm/guest.sh)."""
import json
import os
import re
import sys

out = sys.argv[1]
rows = []


def row(figure, value, reference="", ratio="", target=""):
    rows.append((figure, value, reference, ratio, target))


def load_benchmarks(name):
    path = os.path.join(out, name)
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        return {b["name"]: b for b in json.load(f)["benchmarks"] if "error_occurred" not in b}


def us(ns):
    return f"{ns / 1000:.2f} µs"


row("In-process (host, request double)", "", "", "", "")
device = load_benchmarks("device.json")
for name, b in device.items():
    label = name.replace("/real_time", "").replace("w:", "").replace("/h:", "x")
    if name.startswith("mmap_cycle"):
        row(f"  DQBUF+QBUF cycle {label.split('/', 1)[1]}", us(b["real_time"]),
            f"{b['frames/s']:.0f} frames/s")
    elif name.startswith("read_frame"):
        row(f"  read() frame {label.split('/', 1)[1]}", us(b["real_time"]),
            f"{b['bytes_per_second'] / 1e6:.0f} MB/s")
    elif name.startswith("query_buffer"):
        row("  one ioctl (QUERYBUF)", us(b["real_time"]))
for name, b in load_benchmarks("buffers.json").items():
    row(f"  buffer manager {name}", us(b["real_time"]))

ext_path = os.path.join(out, "ext.txt")
if os.path.exists(ext_path):
    text = open(ext_path).read()
    m = re.search(r"anonymous.*?without libfrixext\s+([\d.]+).*?with libfrixext\s+([\d.]+).*?ratio ([\d.]+)",
                  text, re.S)
    if m:
        ratio = float(m.group(3))
        row("  anon mmap+munmap with libfrixext", f"{float(m.group(2)):.0f} ns",
            f"{float(m.group(1)):.0f} ns without", f"{ratio:.3f}",
            "≤ 1.05 " + ("holds" if ratio <= 1.05 else "MISSED"))
    m = re.search(r"device mapping round trip.*: ([\d.]+) us", text)
    if m:
        row("  device mmap round trip (preload)", f"{m.group(1)} µs")

vm_path = os.path.join(out, "vm", "bench.txt")
if os.path.exists(vm_path):
    vm = {}
    for line in open(vm_path):
        parts = line.split()
        if len(parts) >= 2:
            try:
                vm[parts[0]] = float(parts[1])
            except ValueError:
                pass

    def get(key):
        return vm.get(key)

    def ratio_row(figure, key, unit, floor, floor_text, target):
        value = get(key)
        if value is None:
            row(figure, "missing")
            return
        if floor:
            r = value / floor
            verdict = "holds" if r >= target else "MISSED"
            row(figure, f"{value:.0f} {unit}", floor_text, f"{r:.2f}", f"≥ {target:.2f} {verdict}")
        else:
            row(figure, f"{value:.0f} {unit}")

    row("VM (qemu, CUSE; one boot)", "", "", "", "")
    rw, w4 = get("floor_ioctl_rw88"), get("floor_ioctl_w4")
    if rw:
        row("  floor: 88-byte read/write ioctl", f"{rw:.1f} µs")
        row("  floor: 4-byte write ioctl", f"{w4:.1f} µs")
    two_ioctl = 1e6 / (2 * rw) if rw else None
    if two_ioctl:
        row("  floor: two-ioctl frame rate", f"{two_ioctl:.0f} frames/s")
    for size, nbytes in (("640x480", 614400), ("1920x1080", 4147200)):
        floor_read = get(f"floor_{nbytes}_read_throughput")
        if floor_read:
            row(f"  floor: read() {size}", f"{floor_read:.0f} MB/s",
                f"{get(f'floor_{nbytes}_read_frames') or 0:.0f} frames/s")
        mmap_target = 0.8 if size == "640x480" else 0.7
        for mode in ("static", "moving"):
            tag = f"frix_{mode}_{size}"
            drawn = "" if mode == "static" else " (drawn)"
            ratio_row(f"  frix mmap {size}{drawn}, v4l2-ctl", f"{tag}_v4l2ctl_frames", "frames/s",
                      two_ioctl, "two-ioctl floor", mmap_target)
            ratio_row(f"  frix mmap {size}{drawn}, client", f"{tag}_stream_frames", "frames/s",
                      two_ioctl, "two-ioctl floor", mmap_target)
            ratio_row(f"  frix read() {size}{drawn}", f"{tag}_read_throughput", "MB/s", floor_read,
                      "floor read", 0.8)
            cpu = get(f"{tag}_cpu_per_frame")
            if cpu is not None:
                row(f"  frix CPU per frame {size}{drawn}", f"{cpu:.0f} µs")
        memcpy = get(f"memcpy_{nbytes}")
        if memcpy:
            row(f"  memory copy at {size} (dd)", f"{memcpy:.0f} MB/s")
    rt = rw or 0
    for size in ("640x480", "1920x1080"):
        med, p99 = get(f"frix_30fps_{size}_latency_median"), get(f"frix_30fps_{size}_latency_p99")
        if med is not None:
            row(f"  latency 30 fps {size} median", f"{med / 1000:.2f} ms", f"floor trip {rt:.0f} µs", "",
                "< 2 ms + trip " + ("holds" if med < 2000 + rt else "MISSED"))
            row(f"  latency 30 fps {size} p99", f"{p99 / 1000:.2f} ms", "", "",
                "< 10 ms " + ("holds" if p99 < 10000 else "MISSED"))
    heap, buffers = get("frix_rss_heap"), get("frix_rss_buffers")
    if heap is not None:
        row("  daemon RSS, 5 buffers 1080p: buffers", f"{buffers / 1024:.1f} MiB")
        row("  daemon RSS: heap and anonymous", f"{heap / 1024:.1f} MiB", "", "",
            "< 16 MiB " + ("holds" if heap < 16 * 1024 else "MISSED"))
        row("  daemon RSS: mapped files (code)", f"{get('frix_rss_mapped_files') / 1024:.1f} MiB")
else:
    row("VM part", "not run", "", "", "")

widths = [max(len(r[i]) for r in rows + [("Figure", "Value", "Reference", "Ratio", "Target")])
          for i in range(5)]
header = ("Figure", "Value", "Reference", "Ratio", "Target")
for r in [header] + rows:
    print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
