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
# A reader that keeps up is served the frames made, not one in several; and a static
# frame costs the daemon little more than the requests that carry it.
MADE_GOAL, CPU_GOAL = 1.1, 1.5
# A producer's picture waits up to a frame period for the feed driver's own pacing.
FEED_GOAL_MS = 1000 / 30 + 2
HEADER = ("Figure", "frix", "Floor / reference", "Ratio", "Goal", "")


class Table:
    def __init__(self):
        self.rows = []

    def section(self, title):
        self.rows.append((title, "", "", "", "", ""))

    def row(self, figure, value, reference="", ratio="", goal="", verdict=""):
        self.rows.append(("  " + figure, value, reference, ratio, goal, verdict))

    def goal(self, figure, value, reference, ratio, goal, held, why=None):
        """A goal's row: held or missed, and a figure that is not there is missed with why."""
        reference = reference or ""
        if why:
            self.row(figure, "missing", reference, "", goal, f"missed: {why}")
        else:
            self.row(figure, value, reference, ratio, goal, "held" if held else "missed")

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


def median(values):
    ordered = sorted(values)
    n = len(ordered)
    return (ordered[n // 2] + ordered[(n - 1) // 2]) / 2 if n else None


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
        elif name.startswith("write_frame"):
            table.row(f"write() frame to the writer node {label.split('/', 1)[1]}",
                      us(b["real_time"]), f"{b['bytes_per_second'] / 1e6:.0f} MB/s")
        elif name.startswith("query_buffer"):
            table.row("one ioctl (QUERYBUF)", us(b["real_time"]))
    for name, b in load_benchmarks(out, "buffers.json").items():
        table.row(f"buffer manager {name}", us(b["real_time"]))

    ext_path = os.path.join(out, "ext.txt")
    text = open(ext_path).read() if os.path.exists(ext_path) else ""
    # frix_bench_ext: each the median of runs with and without the library, interleaved.
    for kind, figure in (("anonymous", "anon"), ("file", "file")):
        m = re.search(kind + r" mmap.*?without libfrixext\s+([\d.]+).*?with libfrixext\s+([\d.]+)"
                      r".*?ratio ([\d.]+)", text, re.S)
        ratio = float(m.group(3)) if m else None
        table.goal(f"{figure} mmap+munmap with libfrixext",
                   m and f"{float(m.group(2)):.0f} ns", m and f"{float(m.group(1)):.0f} ns without",
                   m and f"{ratio:.3f}", "≤ 1.05", ratio is not None and ratio <= 1.05,
                   None if m else "frix_bench_ext gave no figure")
    m = re.search(r"device mapping round trip.*?: (?:([\d.]+) us|(.*))", text)
    if m:
        table.row("device mmap round trip (preload)", f"{m.group(1)} µs" if m.group(1) else
                  m.group(2))


class Figures:
    """vm/bench.txt: every run's figure under its metric, and the runs that failed."""

    def __init__(self, path=None, absent=None):
        self.values, self.failures, self.runs, self.absent = {}, [], 1, absent
        for line in open(path) if path else []:
            parts = line.split()
            if len(parts) >= 2 and parts[0] == "failed":
                self.failures.append((parts[1], " ".join(parts[2:])))
            elif len(parts) >= 2:
                try:
                    self.values.setdefault(parts[0], []).append(float(parts[1]))
                except ValueError:
                    self.failures.append((parts[0], "not a number: " + parts[1]))
        self.runs = int(self.get("runs") or 1)

    def why_missing(self, key):
        """Why the figure under key is no good, or None."""
        if self.absent:
            return self.absent
        for prefix, reason in self.failures:
            if key == prefix or key.startswith(prefix + "_"):
                return reason or "failed"
        got = len(self.values.get(key, []))
        if got == 0:
            return "not measured"
        if got < self.runs:
            return f"{got} of {self.runs} runs"
        return None

    def get(self, key):
        """The median of the key's runs."""
        return median(self.values.get(key, []))

    def figure(self, key):
        """The median of a frix figure's runs, or None and why when one run is missing."""
        why = self.why_missing(key)
        return (None, why) if why else (self.get(key), None)

    def floor(self, key):
        """The median of the floor's figures measured around a frix figure's runs."""
        values = self.values.get(key, [])
        if self.absent:
            return None, self.absent
        return (median(values), None) if values else (None, "no floor measured beside it")


def rate(value):
    return f"{value:.0f} frames/s"


def in_vm(vm, table):
    table.section("VM part: not run" if vm.absent else "VM (qemu, CUSE; one boot): frix beside "
                  f"the floor, each the median of {vm.runs} runs")
    for key, figure in (("floor_ioctl_rw88", "at start: 88-byte ioctl round trip"),
                        ("floor_ioctl_w4", "at start: 4-byte ioctl round trip"),
                        ("floor_poll_round_trip", "at start: poll() round trip"),
                        ("floor_cpu_per_request", "daemon CPU per request, all its runs")):
        if vm.get(key) is not None:
            table.row(f"floor {figure}", "", f"{vm.get(key):.1f} µs")
    for size, nbytes in SIZES:
        if vm.get(f"floor_{nbytes}_read_throughput"):
            table.row(f"floor at start: read() {size}", "",
                      f"{vm.get(f'floor_{nbytes}_read_throughput'):.0f} MB/s")
    floor_cpu = vm.get("floor_cpu_per_request")

    def against(figure, key, unit, floor, floor_why, reference, goal):
        value, why = vm.figure(key)
        why = why or floor_why
        ratio = value / floor if not why else None
        table.goal(figure, f"{value:.0f} {unit}" if not why else "", reference,
                   f"{ratio:.2f}" if not why else "", f"≥ {goal:.2f}", not why and ratio >= goal,
                   why)

    for size, nbytes in SIZES:
        draw, draw_why = vm.figure(f"draw_{size}_draw_frames")

        def bounded(mode, floor, floor_why, reference, unit, scale=1):
            """A moving frame is drawn while the client's requests go on: the slower of
            the floor and the driver's drawing bounds it. Both bounds are shown."""
            if mode != "moving":
                return floor, floor_why, reference
            reference += f", {draw * scale:.0f} {unit} drawing" if draw else ", drawing missing"
            floor_why = floor_why or (draw_why and "drawing: " + draw_why)
            return (min(floor, draw * scale) if not floor_why else None), floor_why, reference

        for mode in ("static", "moving"):
            tag = f"frix_{mode}_{size}"
            trip, trip_why = vm.floor(f"floor_{tag}_ioctl_rw88")
            poll, poll_why = vm.floor(f"floor_{tag}_poll_round_trip")
            # Each client against the floor for its own round trips a frame: the client's
            # loop makes a DQBUF and a QBUF; v4l2-ctl select()s before each DQBUF.
            for client, key, trips, floor_why in (
                    ("v4l2-ctl", f"{tag}_v4l2ctl_frames", lambda: 2 * trip + poll,
                     trip_why or poll_why),
                    ("client", f"{tag}_stream_frames", lambda: 2 * trip, trip_why)):
                floor = 1e6 / trips() if not floor_why else None
                names = "three trips" if client == "v4l2-ctl" else "two trips"
                reference = f"{rate(floor)} {names}" if floor else f"{names} missing"
                against(f"mmap {size} {mode}, {client}", key, "frames/s",
                        *bounded(mode, floor, floor_why, reference, "frames/s"), MMAP_GOAL)
                # What a user waits for, the set-up with its buffers included: no floor has it.
                whole = vm.get(f"{tag}_v4l2ctl_whole_frames")
                if client == "v4l2-ctl" and whole and not vm.why_missing(key):
                    table.row(f"mmap {size} {mode}, v4l2-ctl's whole run", rate(whole))
            floor_read, read_why = vm.floor(f"floor_{tag}_read_throughput")
            reference = f"{floor_read:.0f} MB/s floor" if floor_read else "floor missing"
            against(f"read() {size} {mode}", f"{tag}_read_throughput", "MB/s",
                    *bounded(mode, floor_read, read_why, reference, "MB/s", nbytes / 1e6),
                    READ_GOAL)
            made, made_why = vm.figure(f"{tag}_read_frames_made")
            table.goal(f"frames made per frame read {size} {mode}",
                       made is not None and f"{made:.2f}", "", "", f"≤ {MADE_GOAL:.2f}",
                       made is not None and made <= MADE_GOAL, made_why)
            for client, key, trips in (("v4l2-ctl", f"{tag}_cpu_per_frame", 3),
                                       ("client", f"{tag}_client_cpu_per_frame", 2)):
                cpu, cpu_why = vm.figure(key)
                # Beside the floor's CPU for as many requests as the client makes a frame.
                floor_frame = floor_cpu * trips if floor_cpu else None
                figure = f"daemon CPU per frame {size} {mode}, {client}"
                reference = f"{floor_frame:.0f} µs floor, {trips} requests" if floor_frame else ""
                if mode == "static":
                    why = cpu_why or (not floor_frame and "no floor CPU measured")
                    table.goal(figure, cpu is not None and f"{cpu:.0f} µs", reference,
                               f"{cpu / floor_frame:.1f}" if not why else "", f"≤ {CPU_GOAL:.1f}",
                               not why and cpu / floor_frame <= CPU_GOAL, why)
                elif cpu is not None:
                    # A moving frame's drawing is the driver's cost, not the requests'.
                    table.row(figure, f"{cpu:.0f} µs", reference,
                              f"{cpu / floor_frame:.1f}" if floor_frame else "")
        if draw:
            table.row(f"pattern drawing of a moving {size} frame", "",
                      f"{1e6 / draw:.0f} µs, {rate(draw)}")
    for size, _ in SIZES:
        med = vm.get(f"frix_30fps_{size}_latency_median")
        if med is not None and not vm.why_missing(f"frix_30fps_{size}_latency_median"):
            table.row(f"latency 30 fps {size} median", f"{med / 1000:.2f} ms")
        p99, why = vm.figure(f"frix_30fps_{size}_latency_p99")
        table.goal(f"latency 30 fps {size} p99", p99 is not None and f"{p99 / 1000:.2f} ms", "", "",
                   f"< {P99_GOAL_MS:.0f} ms", p99 is not None and p99 / 1000 < P99_GOAL_MS, why)
    med, why = vm.figure("feed_30fps_640x480_latency_median")
    table.goal("feed latency 30 fps 640x480 median", med is not None and f"{med / 1000:.2f} ms",
               "producer's write to the app's dequeue", "", f"< {FEED_GOAL_MS:.1f} ms",
               med is not None and med / 1000 < FEED_GOAL_MS, why)
    p99 = vm.get("feed_30fps_640x480_latency_p99")
    if p99 is not None and not why:
        table.row("feed latency 30 fps 640x480 p99", f"{p99 / 1000:.2f} ms")
    # What sharing costs: no goal of its own, the figures side by side; the daemon's CPU
    # includes its children's (frix-http serves the viewers).
    for tag, who in (("consumers_1", "a V4L2 app"), ("consumers_2", "a V4L2 app and 1 HTTP viewer"),
                     ("consumers_4", "a V4L2 app and 3 HTTP viewers"),
                     ("shared_2", "2 V4L2 apps, --shared-streaming"),
                     ("shared_4", "4 V4L2 apps, --shared-streaming")):
        cpu, why = vm.figure(f"{tag}_cpu_per_frame")
        fps = vm.get(f"{tag}_v4l2ctl_frames")
        table.row(f"daemon CPU per frame 640x480 at 30 fps, {who}",
                  f"{cpu:.0f} µs" if cpu is not None else f"missing: {why}",
                  f"app at {rate(fps)}" if cpu is not None and fps else "")
    for prefix, client in (("frix_rss", "mmap, 5 buffers"), ("frix_read_rss", "read()")):
        buffers = vm.get(f"{prefix}_buffers")
        if buffers is not None:
            table.row(f"daemon RSS, {client} 1080p: buffers", f"{buffers / 1024:.1f} MiB")
        heap, why = vm.figure(f"{prefix}_heap")
        table.goal(f"daemon RSS, {client} 1080p: heap and anonymous",
                   heap is not None and f"{heap / 1024:.1f} MiB", "", "", "< 16 MiB",
                   heap is not None and heap < 16 * 1024, why)
        files = vm.get(f"{prefix}_mapped_files")
        if files is not None:
            table.row(f"daemon RSS, {client} 1080p: mapped files (code)", f"{files / 1024:.1f} MiB")


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
        chosen = [g for g in goals if g[5].split(":")[0] == verdict]
        if chosen:
            lines.append(f"- {verdict.capitalize()}: " +
                         "; ".join(f"{g[0].strip()} ({g[5].partition(': ')[2] or g[3] or g[1]}, goal {g[4]})"
                                   for g in chosen) + ".")
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
    path = os.path.join(out, "vm", "bench.txt")
    # Without a VM run its goals are there all the same, missed.
    in_vm(Figures(path) if os.path.exists(path) else Figures(absent="VM part not run"), table)
    print(table.text())
    print()
    print(summary(table))
    if len(argv) == 4:
        write_markdown(argv[3], table, out)


if __name__ == "__main__":
    main(sys.argv)
