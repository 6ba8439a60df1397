#!/usr/bin/env python3
"""bench/report.py on a made-up run: verdicts against the floor, and BENCHMARKS.md's
figures section rewritten from the same table."""
import os
import subprocess
import sys
import tempfile
import unittest

REPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "report.py")

# A 100 µs round trip makes the two-round-trip floor 5000 frames/s; the floor measured
# before and after 640x480 static, 150 and 250 µs, makes it 2500. A 2160p frame copied
# in 4740 µs bounds moving 2160p at 211 frames/s.
VM = """floor_ioctl_rw88 100.0 us
floor_frix_static_640x480_ioctl_rw88 150.0 us
floor_frix_static_640x480_after_ioctl_rw88 250.0 us
floor_frix_static_640x480_read_throughput 900.0 MB/s
floor_frix_moving_1920x1080_after_read_throughput 500.0 MB/s
frix_moving_1920x1080_read_throughput 450.0 MB/s
floor_ioctl_w4 90.0 us
floor_614400_read_throughput 700.0 MB/s
floor_4147200_read_throughput 800.0 MB/s
floor_16588800_read_throughput 1000.0 MB/s
frix_static_640x480_stream_frames 4250.0 frames/s
frix_static_640x480_v4l2ctl_frames 1000.0 frames/s
frix_static_640x480_read_throughput 630.0 MB/s
frix_moving_3840x2160_read_throughput 790.0 MB/s
frix_moving_3840x2160_cpu_per_frame 5200.0 us
memcpy_16588800_copy_throughput 3500.0 MB/s
frix_moving_3840x2160_stream_frames 180.0 frames/s
floor_poll_round_trip 50.0 us
frix_30fps_640x480_latency_median 1200.0 us
frix_30fps_640x480_latency_p99 9900.0 us
frix_30fps_3840x2160_latency_p99 12500.0 us
frix_rss_heap 300 KiB
frix_rss_buffers 20000 KiB
"""


def slurp(path):
    with open(path) as f:
        return f.read()


def run(*args):
    return subprocess.run([sys.executable, REPORT, *args], capture_output=True, text=True)


class ReportTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.out = self.dir.name
        os.makedirs(os.path.join(self.out, "vm"))
        with open(os.path.join(self.out, "vm", "bench.txt"), "w") as f:
            f.write(VM)
        with open(os.path.join(self.out, "vm", "kernel.txt"), "w") as f:
            f.write("6.1.0-test-amd64\n")

    def tearDown(self):
        self.dir.cleanup()

    def line(self, text, figure):
        found = [l for l in text.splitlines() if l.strip().startswith(figure + "  ")]
        self.assertEqual(len(found), 1, f"{figure!r} in\n{text}")
        return found[0].split()

    def test_each_goal_is_judged_against_the_floor_of_the_same_run(self):
        result = run(self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        text = result.stdout
        # frix figure, floor figure, ratio, goal, verdict side by side.
        self.assertEqual(self.line(text, "mmap 640x480 static, client")[-8:],
                         ["4250", "frames/s", "2500", "frames/s", "1.70", "≥", "0.80", "held"])
        self.assertEqual(self.line(text, "mmap 640x480 static, v4l2-ctl")[-4:],
                         ["0.40", "≥", "0.80", "missed"])
        self.assertEqual(self.line(text, "read() 640x480 static")[-8:],
                         ["630", "MB/s", "900", "MB/s", "0.70", "≥", "0.80", "missed"])
        self.assertEqual(self.line(text, "read() 1920x1080 moving")[-8:],
                         ["450", "MB/s", "500", "MB/s", "0.90", "≥", "0.80", "held"])
        # Where no floor was measured beside a figure, the one of the boot's start counts.
        self.assertEqual(self.line(text, "mmap 640x480 moving, client")[-3:],
                         ["missing", "5000", "frames/s"])
        self.assertEqual(self.line(text, "floor at start: read() 640x480")[-2:], ["700", "MB/s"])
        self.assertEqual(self.line(text, "read() 3840x2160 moving")[-4:],
                         ["0.79", "≥", "0.80", "missed"])
        self.assertEqual(self.line(text, "latency 30 fps 640x480 p99")[-6:],
                         ["9.90", "ms", "<", "10", "ms", "held"])
        self.assertEqual(self.line(text, "latency 30 fps 3840x2160 p99")[-1], "missed")
        self.assertEqual(self.line(text, "daemon CPU per frame 3840x2160 moving")[-2:],
                         ["5200", "µs"])
        self.assertEqual(self.line(text, "memory copy of a 3840x2160 frame")[-4:],
                         ["3500", "MB/s,", "4740", "µs"])
        # A moving frame is bounded by its copy where that is slower than the round trips.
        self.assertEqual(self.line(text, "mmap 3840x2160 moving, client")[-9:],
                         ["180", "frames/s", "211", "frames/s", "copy-bound", "0.85", "≥", "0.80",
                          "held"])
        # v4l2-ctl's select() is a third round trip: 1 / (2 × 200 + 50) µs.
        self.assertEqual(self.line(text, "v4l2-ctl against its own three trips")[-3:],
                         ["2222", "frames/s", "0.45"])
        # A figure the guest did not deliver shows as such, with no verdict.
        self.assertEqual(self.line(text, "mmap 1920x1080 moving, client")[-3:],
                         ["missing", "5000", "frames/s"])
        self.assertIn("Goals held: 5 of 9.", text)

    def test_markdown_section_is_replaced_by_the_printed_table(self):
        path = os.path.join(self.out, "BENCHMARKS.md")
        before = "# Benchmarks\n\nprose\n\n<!-- figures: written by bench/report.py -->\n"
        after = "<!-- end of figures -->\n\n## Why\n\nmore prose\n"
        with open(path, "w") as f:
            f.write(before + "old table\nGoals held: 9 of 9.\n" + after)
        result = run(self.out, "--markdown", path)
        self.assertEqual(result.returncode, 0, result.stderr)
        text = slurp(path)
        self.assertTrue(text.startswith(before), text)
        self.assertTrue(text.endswith(after), text)
        self.assertNotIn("old table", text)
        self.assertNotIn("9 of 9", text)
        self.assertIn("guest kernel 6.1.0-test-amd64", text)
        table, summary = result.stdout.rstrip("\n").split("\n\n", 1)
        self.assertIn("```\n" + table + "\n```\n\n" + summary + "\n<!-- end", text)

        # Twice gives the same file: the markers survive.
        run(self.out, "--markdown", path)
        self.assertEqual(slurp(path), text)

    def test_markdown_without_markers_is_left_alone(self):
        path = os.path.join(self.out, "BENCHMARKS.md")
        with open(path, "w") as f:
            f.write("# Benchmarks\n")
        result = run(self.out, "--markdown", path)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("lacks the lines", result.stderr)
        self.assertEqual(slurp(path), "# Benchmarks\n")

    def test_without_a_vm_run_only_in_process_figures(self):
        os.remove(os.path.join(self.out, "vm", "bench.txt"))
        result = run(self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("VM part: not run", result.stdout)
        self.assertIn("Goals held: 0 of 0.", result.stdout)


if __name__ == "__main__":
    unittest.main()
