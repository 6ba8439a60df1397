#!/usr/bin/env python3
"""bench/report.py on a made-up run: verdicts against the floor, and BENCHMARKS.md's
figures section rewritten from the same table."""
import os
import subprocess
import sys
import tempfile
import unittest

REPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "report.py")


def runs(metric, unit, *values):
    return "".join(f"{metric} {v} {unit}\n" for v in values)


# Three runs of each frix figure; the floor measured four times around them. A 200 µs
# round trip (the median of 100, 200, 200, 300) makes the two-trip floor 2500 frames/s,
# and with a 50 µs poll the three-trip floor 2222.
VM = ("runs 3 count\n" + "floor_ioctl_rw88 100.0 us\nfloor_poll_round_trip 50.0 us\n"
      + runs("floor_cpu_per_request", "us", 60, 50, 70)
      + runs("floor_frix_static_640x480_ioctl_rw88", "us", 100, 300, 200, 200)
      + runs("floor_frix_static_640x480_poll_round_trip", "us", 50, 50, 50, 50)
      + runs("frix_static_640x480_stream_frames", "frames/s", 4000, 4400, 4250)
      + runs("frix_static_640x480_v4l2ctl_frames", "frames/s", 1000, 900, 1100)
      + runs("frix_static_640x480_v4l2ctl_whole_frames", "frames/s", 700, 600, 800)
      + runs("frix_static_640x480_client_cpu_per_frame", "us", 400, 420, 410)
      + runs("floor_frix_static_640x480_read_throughput", "MB/s", 900, 900)
      + runs("frix_static_640x480_read_throughput", "MB/s", 950, 960)
      # Sequence numbers of the frames read: one run had the capture racing ahead.
      + runs("frix_static_640x480_read_frames_made", "frames", 1.0, 4.7, 1.05)
      + runs("frix_moving_640x480_read_frames_made", "frames", 1.2, 1.3, 1.2)
      # Moving 640x480: drawing is far faster than the trips, which bound the rate.
      + runs("draw_640x480_draw_frames", "frames/s", 20000, 20000, 20000)
      + runs("floor_frix_moving_640x480_ioctl_rw88", "us", 200, 200)
      + runs("frix_moving_640x480_stream_frames", "frames/s", 1900, 1900, 1900)
      # 1080p static: one v4l2-ctl run of three failed.
      + runs("floor_frix_static_1920x1080_ioctl_rw88", "us", 100, 100)
      + runs("floor_frix_static_1920x1080_poll_round_trip", "us", 50, 50)
      + runs("frix_static_1920x1080_v4l2ctl_frames", "frames/s", 3000, 3000)
      + runs("frix_static_1920x1080_v4l2ctl_whole_frames", "frames/s", 2000, 2000)
      + "failed frix_static_1920x1080_v4l2ctl exit status 1: VIDIOC_DQBUF: Input/output error\n"
      + runs("frix_moving_1920x1080_read_throughput", "MB/s", 450, 450, 450)
      # Moving 2160p: a frame drawn in 4740 µs bounds it at 211 frames/s.
      + runs("draw_3840x2160_draw_frames", "frames/s", 200, 211, 220)
      + runs("draw_3840x2160_draw_frame", "us", 4740, 4740, 4740)
      + runs("floor_frix_moving_3840x2160_ioctl_rw88", "us", 100, 100)
      + runs("frix_moving_3840x2160_stream_frames", "frames/s", 190, 170, 180)
      + runs("floor_frix_moving_3840x2160_read_throughput", "MB/s", 1000, 1000)
      + runs("frix_moving_3840x2160_read_throughput", "MB/s", 790, 780, 800)
      + runs("frix_30fps_640x480_latency_median", "us", 1200, 1300, 1100)
      + runs("frix_30fps_640x480_latency_p99", "us", 9900, 20000, 9000)
      + runs("frix_30fps_3840x2160_latency_p99", "us", 12500, 12500, 12500)
      # Through the feed: the driver's 30 fps pacing is inside the figure.
      + runs("feed_30fps_640x480_latency_median", "us", 30000, 36000, 31000)
      + runs("feed_30fps_640x480_latency_p99", "us", 40000, 41000, 39000)
      + runs("frix_rss_heap", "KiB", 300, 300, 310) + runs("frix_rss_buffers", "KiB", 20000)
      + runs("frix_read_rss_heap", "KiB", 20000, 20000, 20000)
      # Sharing: the app alone, beside one viewer; with three, a viewer got nothing once.
      + runs("consumers_1_cpu_per_frame", "us", 300, 320, 310)
      + runs("consumers_1_v4l2ctl_frames", "frames/s", 30, 30, 30)
      + runs("consumers_2_cpu_per_frame", "us", 900, 800, 1000)
      + runs("consumers_4_cpu_per_frame", "us", 2000, 2100)
      + "failed consumers_4 a viewer got no frame\n"
      + runs("shared_2_cpu_per_frame", "us", 500, 400, 450)
      + "failed shared_4 another application got no frame\n")

EXT = """anonymous mmap+munmap (4 KiB), 1000 pairs, median of 7 runs, CPU time:
  without libfrixext   3340.0 ns/pair
  with libfrixext      3306.0 ns/pair
  ratio 0.9900 (-1.00 %)
file mmap+munmap (4 KiB), 250 pairs, median of 7 runs, CPU time:
  without libfrixext   4000.0 ns/pair
  with libfrixext      4320.0 ns/pair
  ratio 1.0800 (+8.00 %)
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
        with open(os.path.join(self.out, "ext.txt"), "w") as f:
            f.write(EXT)

    def tearDown(self):
        self.dir.cleanup()

    def line(self, text, figure):
        found = [l for l in text.splitlines() if l.strip().startswith(figure + "  ")]
        self.assertEqual(len(found), 1, f"{figure!r} in\n{text}")
        return found[0].split()

    def test_each_goal_is_judged_against_the_floor_for_its_own_round_trips(self):
        result = run(self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        text = result.stdout
        # frix's median, the floor's median, ratio, goal, verdict side by side.
        self.assertEqual(self.line(text, "mmap 640x480 static, client")[-10:],
                         ["4250", "frames/s", "2500", "frames/s", "two", "trips", "1.70", "≥",
                          "0.80", "held"])
        # v4l2-ctl select()s before each DQBUF: 1 / (2 × 200 + 50) µs.
        self.assertEqual(self.line(text, "mmap 640x480 static, v4l2-ctl")[-10:],
                         ["1000", "frames/s", "2222", "frames/s", "three", "trips", "0.45", "≥",
                          "0.80", "missed"])
        # The streaming is judged; the whole run, set-up included, stands beside it.
        self.assertEqual(self.line(text, "mmap 640x480 static, v4l2-ctl's whole run")[-2:],
                         ["700", "frames/s"])
        self.assertNotIn("mmap 1920x1080 static, v4l2-ctl's whole run", text,
                         "no whole run beside a figure that failed")
        # The daemon's CPU a frame beside the floor's for as many requests: a static
        # frame is judged by it, a moving one (the driver draws) only shown.
        self.assertEqual(self.line(text, "daemon CPU per frame 640x480 static, client")[-11:],
                         ["410", "µs", "120", "µs", "floor,", "2", "requests", "3.4", "≤", "1.5",
                          "missed"])
        self.assertEqual(self.line(text, "frames made per frame read 640x480 static")[-4:],
                         ["1.05", "≤", "1.10", "held"])
        self.assertEqual(self.line(text, "frames made per frame read 640x480 moving")[-4:],
                         ["1.20", "≤", "1.10", "missed"])
        # The median of three runs, not their mean: one slow run does not decide.
        self.assertEqual(self.line(text, "latency 30 fps 640x480 p99")[-6:],
                         ["9.90", "ms", "<", "10", "ms", "held"])
        self.assertEqual(self.line(text, "latency 30 fps 640x480 median")[-2:], ["1.20", "ms"])
        self.assertEqual(self.line(text, "latency 30 fps 3840x2160 p99")[-1], "missed")
        # A frame period and 2 ms: 35.3 ms at 30 fps.
        self.assertEqual(self.line(text, "feed latency 30 fps 640x480 median")[-12:],
                         ["31.00", "ms", "producer's", "write", "to", "the", "app's", "dequeue",
                          "<", "35.3", "ms", "held"])
        self.assertEqual(self.line(text, "feed latency 30 fps 640x480 p99")[-2:], ["40.00", "ms"])
        self.assertEqual(self.line(text, "anon mmap+munmap with libfrixext")[-4:],
                         ["0.990", "≤", "1.05", "held"])
        self.assertEqual(self.line(text, "file mmap+munmap with libfrixext")[-4:],
                         ["1.080", "≤", "1.05", "missed"])
        self.assertEqual(self.line(text, "daemon RSS, read() 1080p: heap and anonymous")[-6:],
                         ["19.5", "MiB", "<", "16", "MiB", "missed"])

    def test_a_moving_picture_stands_against_both_bounds_shown_side_by_side(self):
        text = run(self.out).stdout
        # Drawing a 2160p frame is slower than the round trips: it bounds the rate.
        self.assertEqual(self.line(text, "mmap 3840x2160 moving, client")[-13:],
                         ["180", "frames/s", "5000", "frames/s", "two", "trips,", "211",
                          "frames/s", "drawing", "0.85", "≥", "0.80", "held"])
        self.assertEqual(self.line(text, "pattern drawing of a moving 3840x2160 frame")[-4:],
                         ["4739", "µs,", "211", "frames/s"])
        # read() of a moving frame: the floor's read() and the drawing, in MB/s.
        self.assertEqual(self.line(text, "read() 3840x2160 moving")[-12:],
                         ["790", "MB/s", "1000", "MB/s", "floor,", "3500", "MB/s", "drawing",
                          "0.79", "≥", "0.80", "missed"])
        # At 640x480 the round trips are the slower bound.
        self.assertEqual(self.line(text, "mmap 640x480 moving, client")[-13:],
                         ["1900", "frames/s", "2500", "frames/s", "two", "trips,", "20000",
                          "frames/s", "drawing", "0.76", "≥", "0.80", "missed"])

    def test_a_figure_not_measured_is_missed_with_its_reason_and_counted(self):
        text = run(self.out).stdout
        reasons = {
            "mmap 1920x1080 static, v4l2-ctl":
                "missed: exit status 1: VIDIOC_DQBUF: Input/output error",
            "mmap 1920x1080 moving, client": "missed: not measured",
            "read() 640x480 static": "missed: 2 of 3 runs",
            "read() 1920x1080 moving": "missed: no floor measured beside it",
            "mmap 640x480 moving, v4l2-ctl": "missed: not measured",
            "latency 30 fps 1920x1080 p99": "missed: not measured",
        }
        for figure, reason in reasons.items():
            with self.subTest(figure=figure):
                self.assertTrue(" ".join(self.line(text, figure)).endswith(reason),
                                self.line(text, figure))
        self.assertIn("Goals held: 7 of 38.", text)
        self.assertIn("read() 640x480 static (2 of 3 runs, goal ≥ 0.80)", text)

    def test_the_cost_of_each_consumer_is_shown_and_a_failed_run_says_why(self):
        text = run(self.out).stdout
        alone = " ".join(self.line(text, "daemon CPU per frame 640x480 at 30 fps, a V4L2 app"))
        self.assertTrue(alone.endswith("310 µs app at 30 frames/s"), alone)
        shared = self.line(text, "daemon CPU per frame 640x480 at 30 fps, a V4L2 app and 1 HTTP viewer")
        self.assertEqual(shared[-2:], ["900", "µs"])
        crowded = " ".join(self.line(text, "daemon CPU per frame 640x480 at 30 fps, a V4L2 app and 3 "
                                     "HTTP viewers"))
        self.assertTrue(crowded.endswith("missing: a viewer got no frame"), crowded)
        apps = self.line(text, "daemon CPU per frame 640x480 at 30 fps, 2 V4L2 apps, --shared-streaming")
        self.assertEqual(apps[-2:], ["450", "µs"])
        four = " ".join(self.line(text, "daemon CPU per frame 640x480 at 30 fps, 4 V4L2 apps, "
                                  "--shared-streaming"))
        self.assertTrue(four.endswith("missing: another application got no frame"), four)
        self.assertIn("Goals held: 7 of 38.", text, "sharing has no goal of its own")

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

    def test_without_a_vm_run_its_goals_are_missed_not_dropped(self):
        os.remove(os.path.join(self.out, "vm", "bench.txt"))
        os.remove(os.path.join(self.out, "ext.txt"))
        result = run(self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("VM part: not run", result.stdout)
        self.assertEqual(self.line(result.stdout, "latency 30 fps 640x480 p99")[-5:],
                         ["missed:", "VM", "part", "not", "run"])
        self.assertIn("anon mmap+munmap with libfrixext (frix_bench_ext gave no figure, "
                      "goal ≤ 1.05)", result.stdout)
        self.assertIn("Goals held: 0 of 38.", result.stdout)


if __name__ == "__main__":
    unittest.main()
