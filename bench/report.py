#!/usr/bin/env python3
"""Prints the benchmark table from what scripts/bench.sh collected in one directory:
device.json and buffers.json (Google Benchmark), ext.txt (frix_bench_ext) and, after a
VM run, vm/bench.txt ("<metric> <value> <unit>" lines from bench/vm/guest.sh).

  report.py RESULTS-DIR [--markdown FILE]

With --markdown, FILE's text between the two marker lines below is replaced by the same
table and the list of goals held and missed, so that the file states the figures of
this run and no others."""
import datetime
import json
import os
import platform
import re
import sys

BEGIN = "<!-- figures: written by bench/report.py -->"
END = "<!-- end of figures -->"
SIZES = (("640x480", 640 * 480 * 2), ("1920x1080", 1920 * 1080 * 2), ("3840x2160", 3840 * 2160 * 2))
MMAP_GOAL, READ_GOAL, P99_GOAL_MS = 0.8, 0.8, 10.0
HEADER = ("Figure", "frix", "Floor / reference", "Ratio", "Goal", "")


class Table:
    def __init__(self):
        self.rows = []

    def section(self, title):
        self.rows.append((title, "", "", "", "", ""))

    def row(self, figure, value, reference="", ratio="", goal="", held=None):
        status = "" if held is None else ("held" if held else "missed")
        self.rows.append(("  " + figure, value, reference, ratio, goal, status))

    def goals(self):
        return [r for r in self.rows if r[5]]

    def text(self):
        widths = [max(len(r[i]) for r in self.rows + [HEADER]) for i in range(len(HEADER))]
        return "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip()
                         for r in [HEADER] + self.rows)


def load_benchmarks(out, name):
    path = os.path.join(out, name)
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        return {b["name"]: b for b in json.load(f)["benchmarks"] if "error_occurred" not in b}


def us(ns):
    return f"{ns / 1000:.2f} µs"


def in_process(out, table):
    table.section("In-process (host, request double)")
    for name, b in load_benchmarks(out, "device.json").items():
        label = name.replace("/real_time", "").replace("w:", "").replace("/h:", "x")
        if name.startswith("mmap_cycle"):
            table.row(f"DQBUF+QBUF cycle {label.split('/', 1)[1]}", us(b["real_time"]),
                      f"{b['frames/s']:.0f} frames/s")
        elif name.startswith("read_frame"):
            table.row(f"read() frame {label.split('/', 1)[1]}", us(b["real_time"]),
                      f"{b['bytes_per_second'] / 1e6:.0f} MB/s")
        elif name.startswith("query_buffer"):
            table.row("one ioctl (QUERYBUF)", us(b["real_time"]))
    for name, b in load_benchmarks(out, "buffers.json").items():
        table.row(f"buffer manager {name}", us(b["real_time"]))

    ext_path = os.path.join(out, "ext.txt")
    if not os.path.exists(ext_path):
        return
    text = open(ext_path).read()
    m = re.search(r"anonymous.*?without libfrixext\s+([\d.]+).*?with libfrixext\s+([\d.]+)"
                  r".*?ratio ([\d.]+)", text, re.S)
    if m:
        ratio = float(m.group(3))
        table.row("anon mmap+munmap with libfrixext", f"{float(m.group(2)):.0f} ns",
                  f"{float(m.group(1)):.0f} ns without", f"{ratio:.3f}", "≤ 1.05", ratio <= 1.05)
    m = re.search(r"device mapping round trip.*: ([\d.]+) us", text)
    if m:
        table.row("device mmap round trip (preload)", f"{m.group(1)} µs")


def read_vm(out):
    vm = {}
    path = os.path.join(out, "vm", "bench.txt")
    if not os.path.exists(path):
        return None
    for line in open(path):
        parts = line.split()
        if len(parts) >= 2:
            try:
                vm[parts[0]] = float(parts[1])
            except ValueError:
                pass
    return vm


def mean(*values):
    known = [v for v in values if v]
    return sum(known) / len(known) if known else None


def in_vm(vm, table):
    table.section("VM (qemu, CUSE; one boot): frix beside the floor")
    rw, w4 = vm.get("floor_ioctl_rw88"), vm.get("floor_ioctl_w4")
    if rw:
        table.row("floor at start: 88-byte ioctl round trip", "", f"{rw:.1f} µs")
    if w4:
        table.row("floor at start: 4-byte ioctl round trip", "", f"{w4:.1f} µs")
    if vm.get("floor_poll_round_trip"):
        table.row("floor at start: poll() round trip", "", f"{vm['floor_poll_round_trip']:.1f} µs")
    for size, nbytes in SIZES:
        floor_read = vm.get(f"floor_{nbytes}_read_throughput")
        if floor_read:
            table.row(f"floor at start: read() {size}", "", f"{floor_read:.0f} MB/s")

    def against(figure, key, unit, floor, floor_text, goal):
        value = vm.get(key)
        if value is None:
            table.row(figure, "missing", floor_text)
        elif floor:
            ratio = value / floor
            table.row(figure, f"{value:.0f} {unit}", floor_text, f"{ratio:.2f}", f"≥ {goal:.2f}",
                      ratio >= goal)
        else:
            table.row(figure, f"{value:.0f} {unit}", "no floor")

    for size, nbytes in SIZES:
        memcpy = vm.get(f"memcpy_{nbytes}_copy_throughput")
        copy_us = nbytes / memcpy if memcpy else None
        for mode in ("static", "moving"):
            tag = f"frix_{mode}_{size}"
            # The floor measured right before and after this figure, else at the boot's start.
            beside = mean(vm.get(f"floor_{tag}_ioctl_rw88"),
                          vm.get(f"floor_{tag}_after_ioctl_rw88")) or rw
            poll = mean(vm.get(f"floor_{tag}_poll_round_trip"),
                        vm.get(f"floor_{tag}_after_poll_round_trip")) or \
                vm.get("floor_poll_round_trip")
            two_trips = 1e6 / (2 * beside) if beside else None
            floor_read = mean(vm.get(f"floor_{tag}_read_throughput"),
                              vm.get(f"floor_{tag}_after_read_throughput")) or \
                vm.get(f"floor_{nbytes}_read_throughput")
            two_text = f"{two_trips:.0f} frames/s" if two_trips else "missing"
            read_text = f"{floor_read:.0f} MB/s" if floor_read else "missing"
            # A moving frame is written whole while the client's round trips go on: the
            # slower of the two bounds the rate.
            stream_floor, stream_text = two_trips, two_text
            if mode == "moving" and two_trips and copy_us:
                stream_floor = min(two_trips, 1e6 / copy_us)
                stream_text = f"{stream_floor:.0f} frames/s" + \
                    (" copy-bound" if stream_floor < two_trips else "")
            against(f"mmap {size} {mode}, v4l2-ctl", f"{tag}_v4l2ctl_frames", "frames/s",
                    stream_floor, stream_text, MMAP_GOAL)
            # v4l2-ctl select()s before every DQBUF: three round trips a frame, not two.
            v4l2ctl = vm.get(f"{tag}_v4l2ctl_frames")
            if mode == "static" and v4l2ctl and beside and poll:
                three = 1e6 / (2 * beside + poll)
                table.row(f"  v4l2-ctl against its own three trips", "",
                          f"{three:.0f} frames/s", f"{v4l2ctl / three:.2f}")
            against(f"mmap {size} {mode}, client", f"{tag}_stream_frames", "frames/s",
                    stream_floor, stream_text, MMAP_GOAL)
            against(f"read() {size} {mode}", f"{tag}_read_throughput", "MB/s", floor_read,
                    read_text, READ_GOAL)
            cpu = vm.get(f"{tag}_cpu_per_frame")
            if cpu is not None:
                table.row(f"daemon CPU per frame {size} {mode}", f"{cpu:.0f} µs")
        if memcpy:
            table.row(f"memory copy of a {size} frame", "", f"{memcpy:.0f} MB/s, {copy_us:.0f} µs")
    for size, _ in SIZES:
        med = vm.get(f"frix_30fps_{size}_latency_median")
        p99 = vm.get(f"frix_30fps_{size}_latency_p99")
        if med is not None:
            table.row(f"latency 30 fps {size} median", f"{med / 1000:.2f} ms")
        if p99 is not None:
            table.row(f"latency 30 fps {size} p99", f"{p99 / 1000:.2f} ms", "", "",
                      f"< {P99_GOAL_MS:.0f} ms", p99 / 1000 < P99_GOAL_MS)
    heap, buffers = vm.get("frix_rss_heap"), vm.get("frix_rss_buffers")
    if heap is not None:
        table.row("daemon RSS, 5 buffers 1080p: buffers", f"{buffers / 1024:.1f} MiB")
        table.row("daemon RSS: heap and anonymous", f"{heap / 1024:.1f} MiB", "", "", "< 16 MiB",
                  heap < 16 * 1024)
        files = vm.get("frix_rss_mapped_files")
        if files is not None:
            table.row("daemon RSS: mapped files (code)", f"{files / 1024:.1f} MiB")


def machine(out):
    cpu = ""
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    kernel_path = os.path.join(out, "vm", "kernel.txt")
    guest = open(kernel_path).read().strip() if os.path.exists(kernel_path) else "not run"
    return (f"Run {datetime.date.today().isoformat()}: host {cpu or platform.machine()}, "
            f"{os.cpu_count()} cores; guest kernel {guest} under qemu TCG, 2 vCPUs, 2 GiB.")


def summary(table):
    goals = table.goals()
    held = [g for g in goals if g[5] == "held"]
    lines = [f"Goals held: {len(held)} of {len(goals)}.", ""]
    for verdict in ("held", "missed"):
        chosen = [g for g in goals if g[5] == verdict]
        if chosen:
            lines.append(f"- {verdict.capitalize()}: " +
                         "; ".join(f"{g[0].strip()} ({g[3] or g[1]}, goal {g[4]})" for g in chosen)
                         + ".")
    return "\n".join(lines)


def write_markdown(path, table, out):
    text = open(path).read()
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < start:
        sys.exit(f"report.py: {path} lacks the lines {BEGIN} and {END}")
    section = f"{BEGIN}\n{machine(out)}\n\n```\n{table.text()}\n```\n\n{summary(table)}\n"
    with open(path, "w") as f:
        f.write(text[:start] + section + text[end:])


def main(argv):
    if len(argv) not in (2, 4) or (len(argv) == 4 and argv[2] != "--markdown"):
        sys.exit("usage: report.py RESULTS-DIR [--markdown FILE]")
    out = argv[1]
    table = Table()
    in_process(out, table)
    vm = read_vm(out)
    if vm is None:
        table.section("VM part: not run")
    else:
        in_vm(vm, table)
    print(table.text())
    print()
    print(summary(table))
    if len(argv) == 4:
        write_markdown(argv[3], table, out)


if __name__ == "__main__":
    main(sys.argv)
