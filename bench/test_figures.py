"""Tests of what bench/run.py computes and writes, on made-up readings; run.py runs them before it
spends minutes measuring. By hand: python3 -m unittest discover -s bench -p 'test_*.py'"""
import contextlib
import os
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import figures  # noqa: E402
import run  # noqa: E402


class OrderStatistics(unittest.TestCase):
    def test_nearest_rank_percentiles_and_medians(self):
        values = list(range(100, 0, -1))  # 100 .. 1, unsorted on purpose
        self.assertEqual(figures.percentile(values, 99), 99)
        self.assertEqual(figures.percentile(values, 100), 100)
        self.assertEqual(figures.percentile(values, 50), 50)
        self.assertEqual(figures.percentile([7.5], 99), 7.5)
        self.assertEqual(figures.percentile(list(range(1, 301)), 99), 297)
        self.assertIsNone(figures.percentile([], 99))
        self.assertEqual(figures.median([3, 1, 2]), 2)
        self.assertEqual(figures.median([4, 1, 3, 2]), 2.5)
        self.assertIsNone(figures.median([]))


@contextlib.contextmanager
def sleeping_thread():
    """A thread of this process asleep in a wait, for as long as the block runs."""
    stop = threading.Event()
    t = threading.Thread(target=stop.wait)
    t.start()
    try:
        time.sleep(0.05)
        yield t
    finally:
        stop.set()
        t.join()


def thread(start, switches, exec_ns=1000, comm="qivhub", wchan="futex_do_wait"):
    return {"comm": comm, "switches": switches, "exec_ns": exec_ns, "start": start, "wchan": wchan}


class Window(unittest.TestCase):
    def test_counts_each_thread_over_the_window_in_start_order(self):
        pid = 100
        first = {100: thread(5, 10, 1_000_000), 102: thread(9, 0, 0), 101: thread(7, 50, 2_000_000)}
        last = {100: thread(5, 40, 3_000_000), 102: thread(9, 0, 0), 101: thread(7, 350, 6_000_000)}
        w = figures.window(pid, first, last, 10.0)
        self.assertEqual([r["tid"] for r in w["threads"]], [100, 101, 102])
        self.assertEqual([r["label"] for r in w["threads"]], ["main", "thread 2", "thread 3"])
        self.assertEqual([r["switches"] for r in w["threads"]], [30, 300, 0])
        self.assertAlmostEqual(w["total_per_second"], 33.0)
        # 2 ms + 4 ms of run time in 10 s
        self.assertAlmostEqual(w["cpu_percent"], 0.06)

    def test_threads_that_start_or_end_inside_the_window(self):
        first = {1: thread(1, 100), 2: thread(2, 500)}
        last = {1: thread(1, 110), 3: thread(3, 7)}
        w = figures.window(1, first, last, 2.0)
        rows = {r["tid"]: r for r in w["threads"]}
        self.assertIsNone(rows[2]["switches"])
        self.assertIn("ended", rows[2]["note"])
        self.assertEqual(rows[3]["switches"], 7)  # everything it did, all of it in the window
        self.assertIn("started", rows[3]["note"])
        self.assertAlmostEqual(w["total_per_second"], (10 + 7) / 2.0)

    def test_cpu_is_unknown_without_schedstat(self):
        w = figures.window(1, {1: thread(1, 0, None)}, {1: thread(1, 5, None)}, 1.0)
        self.assertIsNone(w["cpu_percent"])
        self.assertEqual(w["threads"][0]["switches"], 5)

    def test_proc_texts(self):
        status = "Name:\tx\nvoluntary_ctxt_switches:\t12\nnonvoluntary_ctxt_switches:\t3\n"
        self.assertEqual(figures.parse_status(status), 15)
        # A command name with spaces and a bracket must not shift the fields.
        stat = "42 (a) b c) S 1 42 42 0 -1 4194560 100 0 0 0 7 5 0 0 20 0 3 0 98765 0 0"
        self.assertEqual(figures.parse_stat_ticks(stat), 12)
        self.assertEqual(figures.parse_stat_start(stat), 98765)
        self.assertEqual(figures.wait_channel("futex_do_wait\n"), "futex_do_wait")
        self.assertEqual(figures.wait_channel("0"), "(running)")
        self.assertEqual(figures.wait_channel(None), "-")

    def test_snapshot_of_this_process_sees_a_sleeping_thread(self):
        with sleeping_thread() as t:
            snap = figures.snapshot(os.getpid())
        self.assertIn(t.native_id, snap)
        self.assertIn(os.getpid(), snap)
        self.assertGreaterEqual(snap[t.native_id]["switches"], 1)


MAPS = """\
55d0a0000000-55d0a0001000 r--p 00000000 08:01 1 /opt/hub/qivhub
55d0a0001000-55d0a0005000 r-xp 00001000 08:01 1 /opt/hub/qivhub
7f0000000000-7f0000001000 r--p 00000000 08:01 2 /opt/hub/plugins/qiv.so
7f0000001000-7f0000003000 r-xp 00001000 08:01 2 /opt/hub/plugins/qiv.so
7f0000003000-7f0000004000 rw-p 00003000 08:01 2 /opt/hub/plugins/qiv.so
7f0000010000-7f0000020000 r-xp 00000000 08:01 3 /opt/hub/plugins/notqiv.so.bak
7ffc00000000-7ffc00021000 rw-p 00000000 00:00 0 [stack]
"""


class WhoseCode(unittest.TestCase):
    def test_only_executable_mappings_of_the_named_file(self):
        ranges = figures.executable_ranges(MAPS, "/qiv.so")
        self.assertEqual(ranges, [(0x7F0000001000, 0x7F0000003000)])
        self.assertTrue(figures.holds_address([5, 0x7F0000001000], ranges))
        self.assertTrue(figures.holds_address([0x7F0000002FFF], ranges))
        self.assertFalse(figures.holds_address([0x7F0000003000, 0x7F0000000FFF], ranges))
        self.assertFalse(figures.holds_address([], ranges))

    def test_a_sleeping_thread_has_its_callers_code_on_its_stack(self):
        with sleeping_thread() as t:
            words = figures.stack_words(os.getpid(), t.native_id)
            with open("/proc/self/maps") as f:
                maps = f.read()
        if not words:
            self.skipTest("the stack of a thread cannot be read here (no /proc/PID/syscall or "
                          "/proc/PID/mem access)")
        # Whichever of the interpreter and its library holds the code, one of them is there.
        ranges = figures.executable_ranges(maps, os.path.basename(os.path.realpath(sys.executable)))
        ranges += figures.executable_ranges(maps, ".so.1.0")
        self.assertTrue(figures.holds_address(words, ranges))
        self.assertEqual(figures.stack_words(os.getpid(), 1 << 30), [])


class Verdicts(unittest.TestCase):
    def test_verdicts_say_by_how_much_a_target_is_missed(self):
        self.assertEqual(figures.at_most(0.5, 0.5), "met")
        self.assertEqual(figures.at_most(1.0, 0.5), "**not met** (2.00× the target)")
        self.assertEqual(figures.at_least(1.0, 1.0), "met")
        self.assertEqual(figures.at_least(0.3, 0.6), "**not met** (50 % of the target)")
        self.assertEqual(figures.at_most(None, 1), "not measured")
        self.assertEqual(figures.at_least(None, 1), "not measured")

    def test_figures_for_tables(self):
        self.assertEqual(figures.fmt(None), "–")
        self.assertEqual(figures.fmt(4272.4), "4,272")
        self.assertEqual(figures.fmt(21.852), "21.9")
        self.assertEqual(figures.pair(None, 0.7912, figures.fmt_ratio), "– → 0.79")


# ---- the report, from made-up results ----

class Results(dict):
    """Benchmark results holding every name asked for: the project's take `lumo` time units, the
    peers' `peer`."""

    def __init__(self, lumo, peer=1.0):
        super().__init__()
        self.lumo, self.peer = lumo, peer

    def __contains__(self, name):
        return True

    def __missing__(self, name):
        value = self.lumo if "_lumo" in name else self.peer
        fields = {"cpu_time": value, "real_time": value, "items_per_second": 1e6 / value,
                  "output_bytes": 1_000_000, "buckets": 1031, "lost": 0}
        return {"median": fields, "stddev": {k: v / 10 for k, v in fields.items()}}


def corpus(bytes_per_input_byte, left_blocks=0):
    return {"input_bytes": 1000, "elements": 10, "attributes": 40, "tracked_bytes": 1000,
            "tracked_blocks": 80, "bytes_per_input_byte": bytes_per_input_byte,
            "blocks_per_element": 8.0, "left_bytes": 64 * left_blocks, "left_blocks": left_blocks,
            "blocks_by_type": {"0": 40, "10": 40}}


def hub(busiest, cpu):
    first = {1: thread(1, 0), 2: thread(2, 0)}
    last = {1: thread(1, int(busiest * 10)), 2: thread(2, 100)}
    w = figures.window(1, first, last, 10.0)
    w["threads"][1]["plugin"] = True
    w["threads"][0]["plugin"] = False
    w.update({"cpu_percent": cpu, "starts": [3.0, 4.0, 5.0], "rss": 3000, "hwm": 3100,
              "busiest": busiest})
    return w


def results(with_base, with_armhf, after_lumo=0.5):
    lat = {name: {"median": 50.0, "p99": 90.0, "max": 120.0, "n": 300}
           for name in ("waitPost", "event_wait", "event_trywait", "condvar")}
    fp = {("after", "x86_64"): {c: corpus(5.0) for c in ("config", "small", "heldout")}}
    if with_armhf:
        fp[("after", "armhf")] = {c: corpus(3.0) for c in ("config", "small", "heldout")}
    if with_base:
        fp[("before", "x86_64")] = {c: corpus(29.0) for c in ("config", "small", "heldout")}
        if with_armhf:
            fp[("before", "armhf")] = {c: corpus(19.0) for c in ("config", "small", "heldout")}
    base = Results(2.0) if with_base else None
    return {
        "base": "04cbcff5e193" if with_base else None,
        "base_reason": None if with_base else "revision 04cbcff is not in this repository",
        "armhf_reason": None if with_armhf else "qemu-arm is not installed",
        "xml": Results(after_lumo), "xml_base": base,
        "core": Results(after_lumo), "core_base": base,
        "trace": Results(after_lumo), "trace_base": base,
        "trace_extra": {f"threads{t}": {"small_lost": 0, "lost": 10, "lossless_rate": 5e5}
                        for t in (1, 4)},
        "rss": {lib: (1000, 990, 1010) for lib in ("lumo",) + run.PEERS},
        "rss_base": {"lumo": (2000, 1990, 2010)} if with_base else None,
        "latency": lat, "latency_base": lat if with_base else None,
        "footprint": fp,
        "hubs": {"after": hub(1.0, 0.01), **({"before": hub(99.0, 0.6)} if with_base else {})},
    }


MACHINE = {"cores": 2, "model": "test", "kernel": "6", "compiler": "c++", "date": "today"}


class ReportText(unittest.TestCase):
    def write(self, res):
        with tempfile.TemporaryDirectory() as d:
            return run.write_report(res, run.Phases(), MACHINE, os.path.join(d, "performance.md"))

    def summary(self, text):
        part = text.split("## Targets", 1)[1].split("\n## ", 1)[0]
        return [line for line in part.splitlines() if line.startswith("| ") and "---" not in line][1:]

    def test_every_figure_before_and_after(self):
        text = self.write(results(with_base=True, with_armhf=True))
        rows = self.summary(text)
        self.assertEqual(len(rows), 13)
        self.assertNotIn("None", text)
        self.assertIn("| tracked bytes per input byte, configuration corpus, x86_64 / armhf "
                      "| 29 / 19 | 5 / 3 | ≤ 10 / ≤ 6 | met / met |", rows)
        # The baseline takes twice the peers' time, this tree half of it.
        self.assertIn("| queue post/get stream vs mutex + condvar + deque | 2.00 | 0.50 | ≤ 1.5 "
                      "| met |", rows)
        self.assertIn("| peak RSS growth of a 10 MB parse vs libxml2 | 2.00 | 1.00 | ≤ 0.8 "
                      "| **not met** (1.25× the target) |", rows)
        self.assertIn("| after | thread 2 (plug-in) |", text)
        self.assertIn("Deleting each tree gave back every block it took.", text)

    def test_a_run_without_baseline_or_target_machine_still_reports(self):
        text = self.write(results(with_base=False, with_armhf=False))
        self.assertIn("**before** is missing from this run: revision 04cbcff is not in this "
                      "repository", text)
        self.assertIn("armhf skipped: qemu-arm is not installed", text)
        self.assertNotIn("None", text)
        self.assertNotIn("| before | main", text)
        self.assertEqual(len(self.summary(text)), 13)

    def test_blocks_a_deleted_tree_leaves_are_reported(self):
        res = results(with_base=True, with_armhf=True)
        res["footprint"][("after", "armhf")]["small"] = corpus(3.0, left_blocks=3)
        text = self.write(res)
        self.assertIn("Still tracked after the tree was deleted (shared tables kept for later "
                      "trees, or a leak): small elements on armhf: 192 bytes in 3 blocks.", text)

    def test_missed_targets_say_by_how_much(self):
        rows = self.summary(self.write(results(with_base=True, with_armhf=True, after_lumo=3.0)))
        self.assertIn("| queue post/get stream vs mutex + condvar + deque | 2.00 | 3.00 | ≤ 1.5 "
                      "| **not met** (2.00× the target) |", rows)
        trace = [r for r in rows if r.startswith("| trace")][0]
        self.assertIn("| 0.50 / 0.50 | 0.33 / 0.33 | ≥ 0.6 / ≥ 1.0 | **not met** (56 % of the "
                      "target) / **not met** (33 % of the target) |", trace)


if __name__ == "__main__":
    unittest.main()
