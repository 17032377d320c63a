#!/usr/bin/env python3
"""End-to-end: the hub at rest with the simulated plug-in sleeps. Its threads wait for their
work (a record, a command, the next simulated event, the end of a loop pass) instead of looking
for it every few milliseconds: each wakes at most a few times a second, counted from the
kernel's context switches per thread, and a stop still ends the loop's sleep at once.
QIVHUB names the binary, QIVHUB_VIRTUAL the simulated device's directory."""
import os
import signal
import subprocess
import sys
import time
import unittest

from hubrun import EMULATOR, EXIT_SLEEP, Hub, built_with_tsan, wait_for

VIRTUAL = os.environ["QIVHUB_VIRTUAL"]
WINDOW = 4.0  # seconds counted
# A polling thread switches about 100 times a second (10 ms steps). At rest the hub's threads
# switch about once a second: the main loop's pass, a record of the simulated sensor event.
MAX_PER_SECOND = 5.0


def switches(pid):
    """Context switches (voluntary and not) of each thread of the process, by thread id."""
    counts = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                status = f.read()
        except OSError:
            continue  # the thread ended meanwhile
        fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
        counts[tid] = (int(fields["voluntary_ctxt_switches"]) +
                       int(fields["nonvoluntary_ctxt_switches"]))
    return counts


class HubIdleTest(unittest.TestCase):
    def setUp(self):
        # Under the emulator the process's threads are the emulator's, and ThreadSanitizer
        # runs a thread of its own that wakes on its own schedule: the count would measure them.
        if EMULATOR:
            self.skipTest("context switches of an emulated hub are the emulator's")
        if built_with_tsan():
            self.skipTest("ThreadSanitizer's own thread wakes the process on its own schedule")

    def start(self, *args, stdin=subprocess.DEVNULL):
        hub = Hub("-l", VIRTUAL, *args, stdin=stdin)
        self.addCleanup(hub.cleanup)
        self.assertTrue(hub.read_until("simulation started"), hub.out)
        time.sleep(1.0)  # start-up done: the threads are at rest
        return hub

    def assert_sleeps(self, hub, what):
        before = switches(hub.proc.pid)
        time.sleep(WINDOW)
        after = switches(hub.proc.pid)
        rates = {tid: (after[tid] - before[tid]) / WINDOW for tid in after if tid in before}
        print(f"{what}: context switches per second by thread: {rates}", file=sys.stderr)
        self.assertGreaterEqual(len(rates), 4, "main, start-up watch, trace writer, simulation")
        for tid, rate in rates.items():
            self.assertLessEqual(rate, MAX_PER_SECOND, f"{what}: thread {tid} wakes too often")

    def stop_in_time(self, hub):
        sent = time.monotonic()
        hub.proc.send_signal(signal.SIGTERM)
        hub.finish()
        elapsed = time.monotonic() - sent
        self.assertEqual(hub.proc.returncode, 0, hub.err)
        # The loop sleeps 1000 ms per pass; the signal ends the sleep instead of its next look.
        self.assertLess(elapsed, 0.8 + EXIT_SLEEP, "the stop waited for the loop's pass to end")

    def test_the_hub_without_console_sleeps_and_stops_at_once(self):
        hub = self.start()
        self.assert_sleeps(hub, "no console")
        self.stop_in_time(hub)

    def test_the_hub_in_console_mode_sleeps_while_no_key_comes(self):
        hub = self.start("-console", stdin=subprocess.PIPE)
        self.assert_sleeps(hub, "console")
        hub.send("q\n")
        self.assertTrue(wait_for(lambda: hub.proc.poll() is not None, timeout=15))
        self.assertEqual(hub.proc.returncode, 0, hub.err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
