#!/usr/bin/env python3
"""qivtrace on trace files that the real hub wrote under the stress plug-in (rotated, the oldest
file reused), following a running hub, and its command line and exits (the grouping of dump
rows, println output and the column header is tested on hand-made text in qivtrace_test). QIVTRACE
names the binary; it runs under QIVHUB_EMULATOR like the hub."""
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

from hubrun import EMULATOR, ConsoleHub, wait_for

QIVTRACE = os.environ["QIVTRACE"]
PLUGINS = os.path.join(os.environ["QIVHUB_PLUGINS"], "stress")
MANUAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "qivtrace",
                      "qivtrace.1")
STAMPED = re.compile(r"\d{8}\.\d{6}\.\d{3} ")
EVENT = re.compile(r"listener: s(\d+)e(\d+)")
BANNER = "20261209.070339.123 w9999I main     OQIVhub  0149 QIVhub"


def qivtrace(*args, timeout=60):
    return subprocess.run(EMULATOR + [QIVTRACE, *args], capture_output=True, timeout=timeout,
                          encoding="latin-1")


def blocks(lines):
    """A stamped line with the unstamped lines after it, as tuples; lines before the first
    stamped one form a block of their own."""
    out, current = [], []
    for line in lines:
        if STAMPED.match(line) and current:
            out.append(tuple(current))
            current = []
        current.append(line)
    if current:
        out.append(tuple(current))
    return out


def file_lines(directory):
    names = sorted(n for n in os.listdir(directory) if re.fullmatch(r"qivhub\.\d{3,}\.trc", n))
    texts = {}
    for name in names:
        with open(os.path.join(directory, name), encoding="latin-1") as f:
            texts[name] = f.read().splitlines()
    return texts


def reused(files):
    """All ten numbers are taken and a lower one holds newer records than a higher one."""
    firsts = [lines[0][:19] for lines in files.values() if lines]
    return len(firsts) == 10 and firsts != sorted(firsts)


def stress_env(**extra):
    env = {"STRESS_SLOW_WRITER": "0", "STRESS_NAME_BYTES": "200"}
    env.update({k: str(v) for k, v in extra.items()})
    return env


class HubFilesTest(unittest.TestCase):
    """One flood of the hub that fills all ten files and reuses the oldest, read afterwards."""

    @classmethod
    def setUpClass(cls):
        # Stopped as soon as a file number has been reused: how long that takes depends on the
        # machine (the cross build runs emulated).
        cls.hub = ConsoleHub(PLUGINS, "-byte", env=stress_env(
            STRESS_SECONDS=30, STRESS_THREADS=4, STRESS_BURST=500))
        wait_for(lambda: reused(file_lines(cls.hub.dir)) or
                 "done bursts" in cls.hub.text("stress.txt"), timeout=120, step=0.2)
        cls.hub.proc.send_signal(signal.SIGTERM)
        cls.hub.finish(90.0)
        cls.files = file_lines(cls.hub.dir)
        cls.all_blocks = [b for lines in cls.files.values() for b in blocks(lines)]

    @classmethod
    def tearDownClass(cls):
        cls.hub.cleanup()

    def test_every_line_comes_once_in_stamp_order_with_its_record(self):
        self.assertTrue(reused(self.files), "no file number was reused")
        result = qivtrace("-d", self.hub.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        out = result.stdout.splitlines()
        every = [line for lines in self.files.values() for line in lines]
        self.assertEqual(sorted(out), sorted(every))
        stamps = [line[:19] for line in out if STAMPED.match(line)]
        self.assertEqual(stamps, sorted(stamps))
        self.assertEqual(sorted(blocks(out)), sorted(self.all_blocks))

    def test_filters_select_whole_records(self):
        stamps = sorted(b[0][:19] for b in self.all_blocks if STAMPED.match(b[0]))
        middle = stamps[len(stamps) // 2]
        iso = "%s-%s-%sT%s:%s:%s" % (middle[0:4], middle[4:6], middle[6:8], middle[9:11],
                                      middle[11:13], middle[13:15])
        cases = [
            (["-t", "stress3"], lambda b: b[0][27:35] == "stress3 "),
            (["-o", "OQIVhub"], lambda b: b[0][36:44] == "OQIVhub "),
            (["-l", "I"], lambda b: b[0][25] == "I"),
            (["-l", "EW"], lambda b: b[0][25] in "EW"),
            (["--since", iso], lambda b: b[0][:15] >= middle[:15]),
            (["--until", middle[:13], "-t", "stress0"],
             lambda b: b[0][:13] <= middle[:13] and b[0][27:35] == "stress0 "),
        ]
        for args, wanted in cases:
            with self.subTest(args=args):
                result = qivtrace("-d", self.hub.dir, *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                expected = [b for b in self.all_blocks if STAMPED.match(b[0]) and wanted(b)]
                self.assertEqual(sorted(blocks(result.stdout.splitlines())), sorted(expected))

    def test_a_reader_that_goes_away_ends_it_quietly(self):
        proc = subprocess.Popen(EMULATOR + [QIVTRACE, "-d", self.hub.dir],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.stdout.readline()
        proc.stdout.close()
        _, err = proc.communicate(timeout=60)
        self.assertEqual(err, b"")
        self.assertEqual(proc.returncode, 0)


class FollowTest(unittest.TestCase):
    def test_records_written_while_following_come_once_across_rotations(self):
        # A steady trace: one thread, a burst every 100 ms, a file full about every half second.
        hub = ConsoleHub(PLUGINS, "-byte", env=stress_env(
            STRESS_SECONDS=4, STRESS_THREADS=1, STRESS_BURST=100, STRESS_PAUSE_MS=100))
        out_path = os.path.join(hub.dir, "follow.out")
        follower = None
        try:
            self.assertTrue(wait_for(lambda: os.path.exists(hub.path("qivhub.000.trc"))))
            with open(out_path, "wb") as out:
                follower = subprocess.Popen(EMULATOR + [QIVTRACE, "-f", "-d", hub.dir],
                                            stdout=out, stderr=subprocess.PIPE)
            started = {n: lines[:1] for n, lines in file_lines(hub.dir).items()}
            self.assertTrue(wait_for(lambda: "done bursts" in hub.text("stress.txt"), 120))
            hub.proc.send_signal(signal.SIGTERM)
            hub.finish(90.0)
            total = int(re.search(r"done bursts \d+ events (\d+)",
                                  hub.text("stress.txt")).group(1))

            def sequences():
                with open(out_path, encoding="latin-1") as f:
                    return [int(m.group(2)) for m in EVENT.finditer(f.read())]
            self.assertTrue(wait_for(lambda: total - 1 in sequences(), 30))
            time.sleep(0.5)  # a record shown twice would come with a later poll
            follower.send_signal(signal.SIGINT)
            _, err = follower.communicate(timeout=30)
            self.assertEqual(follower.returncode, 0, err)
            self.assertEqual(err, b"")
            ended = {n: lines[:1] for n, lines in file_lines(hub.dir).items()}
            self.assertNotEqual(started, ended, "no rotation while following")
            seen = sequences()
            self.assertEqual(seen, list(range(seen[0], total)))
        finally:
            if follower and follower.poll() is None:
                follower.kill()
                follower.wait()
            hub.cleanup()


class CommandLineTest(unittest.TestCase):
    def test_help_wrong_options_and_missing_files(self):
        with tempfile.TemporaryDirectory() as empty:
            result = qivtrace("--help")
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            self.assertIn("usage: qivtrace", result.stdout)
            for args in (["-x"], ["-l", "e"], ["--since", "2026-12-9"], ["-d"], ["a", "b"]):
                with self.subTest(args=args):
                    result = qivtrace("-d", empty, *args)
                    self.assertEqual(result.returncode, 2)
                    self.assertIn("usage: qivtrace", result.stderr)
                    self.assertEqual(result.stdout, "")
            result = qivtrace("-d", empty)
            self.assertEqual(result.returncode, 1)
            self.assertIn("no trace files qivhub.NNN.trc in " + empty, result.stderr)
            # With -f it waits for the files.
            proc = subprocess.Popen(EMULATOR + [QIVTRACE, "-f", "-d", empty],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            time.sleep(1.0)
            self.assertIsNone(proc.poll())
            with open(os.path.join(empty, "qivhub.000.trc"), "w") as f:
                f.write(BANNER + "\n")
            line = proc.stdout.readline().decode().rstrip("\n")
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=30)
            self.assertEqual((line, out, err, proc.returncode), (BANNER, b"", b"", 0))
            # Without -f a last line cut short is shown on a line of its own; other bases'
            # files are not read.
            with open(os.path.join(empty, "qivhub.000.trc"), "a") as f:
                f.write("20261209.070342.500 w9999W tracewri cut sh")
            with open(os.path.join(empty, "other.000.trc"), "w") as f:
                f.write("20261209.070340.000 w9999W main     other base\n")
            result = qivtrace("-d", empty)
            self.assertEqual(result.stdout,
                             BANNER + "\n20261209.070342.500 w9999W tracewri cut sh\n")

    def test_the_manual_page_names_every_option_of_the_usage(self):
        usage = qivtrace("--help").stdout
        options = set(re.findall(r"(?<![\w-])--?[a-z]+", usage))
        self.assertGreaterEqual(options, {"-d", "-l", "-t", "-o", "--since", "--until", "-f",
                                          "-h", "--help"})
        with open(MANUAL, encoding="utf-8") as f:
            page = f.read().replace("\\-", "-")
        self.assertEqual(sorted(o for o in options if o not in page), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
