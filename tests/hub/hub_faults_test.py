#!/usr/bin/env python3
"""End-to-end: the hub ends in time when told to stop in the middle of a flood of events, with
every record the trace had accepted before the stop in its files, and a plug-in that crashes in
its factory takes the hub down through the fault path instead of leaving it hung.
QIVHUB_PLUGINS names the directory of the test plug-ins."""
import os
import signal
import time
import unittest

from hubrun import EXIT_SLEEP, SANITIZER, ConsoleHub, built_with_tsan, wait_for
from soak import console_figures, file_figures, stress_env

PLUGINS = os.environ["QIVHUB_PLUGINS"]
# A stop: the loop's last sleep, then at most one second for the trace to write what it had
# accepted.
STOP_SECONDS = 0.1 + 1.0
MARGIN = 0.5


class HubFaultTest(unittest.TestCase):
    def stop_during_burst(self, sig, handler_line):
        # Long events keep the writer behind the flood, so that the queue is full at the stop.
        env = dict(stress_env(120, burst=20000), STRESS_NAME_BYTES="300")
        hub = ConsoleHub(os.path.join(PLUGINS, "stress"), env=env)
        self.addCleanup(hub.cleanup)
        # Records of the stress threads on the console: the flood is on.
        self.assertTrue(wait_for(lambda: hub.console_has("listener: s"), timeout=60),
                        hub.text("console.out")[-2000:])
        time.sleep(0.5)
        sent = time.monotonic()
        hub.proc.send_signal(sig)
        code = hub.finish(timeout=30)
        elapsed = time.monotonic() - sent
        # The handler's line must come out whole although the plug-in's threads keep writing.
        console = hub.text("console.out")
        tail = console[-3000:]
        self.assertEqual(code, 0, tail)
        self.assertIn(handler_line, console, tail)
        self.assertIn("__signalHandler: exit...", console)
        for marker in SANITIZER:
            self.assertNotIn(marker, console)
        self.assertLess(elapsed, STOP_SECONDS + MARGIN + EXIT_SLEEP,
                        "the hub must end within its stop's time")
        self.assert_accepted_records_reached_the_files(hub, console.index(handler_line))

    def assert_accepted_records_reached_the_files(self, hub, stop):
        """Every event echoed before the handler's line was accepted by the trace (or refused
        by the full queue, which the console says) before the stop began: it must be in the
        trace files, unless rotation has since reused the file it was in."""
        before = hub.path("before-stop.out")
        with open(before, "w", encoding="latin-1") as f:
            f.write(hub.text("console.out")[:stop])
        problems = []
        threads = 8
        echoed, rejected, _ = console_figures(before, threads, problems)
        present, _ = file_figures(hub.dir, threads, problems)
        lost = []
        for k in range(threads):
            first = min(present[k]) if present[k] else echoed[k]
            lost += ["s%de%07d" % (k, seq) for seq in range(first, echoed[k])
                     if seq not in present[k] and seq not in rejected[k]]
        self.assertGreater(sum(echoed), 0)
        self.assertEqual(lost[:20], [], "%d accepted records missing from the trace files"
                         % len(lost))
        self.assertEqual(problems, [])

    def test_sigterm_during_a_burst_ends_the_hub_in_time_losing_no_accepted_record(self):
        self.stop_during_burst(signal.SIGTERM,
                               "__signalHandler: 15 Software termination signal from kill.")

    def test_sigint_during_a_burst_ends_the_hub_in_time_losing_no_accepted_record(self):
        self.stop_during_burst(signal.SIGINT, "__signalHandler: 2 Interrupt.")

    def test_a_crashing_factory_ends_the_hub_with_sigsegv_through_the_fault_path(self):
        # ThreadSanitizer defers signal handlers to its own safe points, which a fault that
        # repeats on return never reaches: the process spins in the fault.
        if built_with_tsan():
            self.skipTest("a real fault cannot reach the handler under ThreadSanitizer")
        if os.environ.get("QIVHUB_EMULATOR"):
            # qemu-user maps guest address 0, so the plug-in's null store does not fault there.
            self.skipTest("the null store does not fault under the user-mode emulator")
        hub = ConsoleHub(os.path.join(PLUGINS, "crash"))
        self.addCleanup(hub.cleanup)
        code = hub.finish(timeout=60)
        lines = hub.text("console.out").splitlines()
        self.assertIn("__signalHandler: 11 Segment violation.", lines)
        i = lines.index("__signalHandler: 11 Segment violation.")
        self.assertEqual(lines[i + 1:i + 4], [
            "__signalHandler: shutdown...",
            "__signalHandler: Reactivate default handling...",
            "__signalHandler: Raise signal...",
        ])
        self.assertEqual(code, -signal.SIGSEGV)


if __name__ == "__main__":
    unittest.main(verbosity=2)
