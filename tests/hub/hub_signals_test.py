#!/usr/bin/env python3
"""End-to-end: the real qivhub binary prints its start-up lines, reacts to signals as documented
and ends in time, also when a signal comes while the start-up still hangs in the plug-in's
factory, or comes twice. QIVHUB names the binary; QIVHUB_EMULATOR (optional) the command that
runs it (qemu-arm for the cross build); QIVHUB_PLUGINS the directory of the test plug-ins."""
import os
import signal
import time
import unittest

from hubrun import EXIT_SLEEP, START_LINES, Hub

PLUGINS = os.environ["QIVHUB_PLUGINS"]
TERM_LINE = "__signalHandler: 15 Software termination signal from kill."
INT_LINE = "__signalHandler: 2 Interrupt."


class HubSignalTest(unittest.TestCase):
    def start(self):
        hub = Hub()
        self.addCleanup(hub.cleanup)
        self.assertTrue(hub.read_until("Initialize the QIVhub..."), hub.out)
        # The banner's last line is written just before Main enters its loop.
        self.assertTrue(hub.read_until("RS485 ["), hub.out)
        time.sleep(0.2)
        return hub

    def test_sigterm_prints_handler_lines_and_ends_in_time_with_exit_code_zero(self):
        hub = self.start()
        sent = time.monotonic()
        hub.proc.send_signal(signal.SIGTERM)
        lines = hub.finish()
        elapsed = time.monotonic() - sent
        self.assertEqual(lines[:5], START_LINES)
        self.assertIn("__signalHandler: 15 Software termination signal from kill.", lines)
        i = lines.index("__signalHandler: 15 Software termination signal from kill.")
        self.assertEqual(lines[i + 1:i + 3], ["__signalHandler: shutdown...",
                                              "__signalHandler: exit..."])
        self.assertEqual(hub.proc.returncode, 0)
        self.assertLess(elapsed, 1.5 + EXIT_SLEEP, "SIGTERM must end the hub within 1.5 s")

    def test_sigint_ends_the_hub_like_sigterm(self):
        hub = self.start()
        hub.proc.send_signal(signal.SIGINT)
        lines = hub.finish()
        self.assertIn("__signalHandler: 2 Interrupt.", lines)
        self.assertIn("__signalHandler: exit...", lines)
        self.assertEqual(hub.proc.returncode, 0)

    def test_sigpipe_is_ignored_silently(self):
        hub = self.start()
        hub.proc.send_signal(signal.SIGPIPE)
        time.sleep(0.5)
        self.assertIsNone(hub.proc.poll(), "SIGPIPE must not end the hub")
        hub.proc.send_signal(signal.SIGTERM)
        lines = hub.finish()
        self.assertFalse([l for l in lines if l.startswith("__signalHandler: 13")])
        self.assertEqual(sum(l == "__signalHandler: exit..." for l in lines), 1)
        self.assertEqual(hub.proc.returncode, 0)

    def test_sigsegv_reraises_under_the_default_action(self):
        hub = self.start()
        hub.proc.send_signal(signal.SIGSEGV)
        lines = hub.finish()
        i = lines.index("__signalHandler: 11 Segment violation.")
        self.assertEqual(lines[i + 1:i + 5], [
            "__signalHandler: shutdown...",
            "__signalHandler: Reactivate default handling...",
            "__signalHandler: Raise signal...",
            "__signalHandler: exit...",
        ])
        self.assertEqual(hub.proc.returncode, -signal.SIGSEGV)

    def test_a_trace_file_at_the_file_size_limit_does_not_end_the_hub(self):
        # The banner alone passes 512 bytes: its write fails instead of raising SIGXFSZ.
        hub = Hub(file_size_limit=512)
        self.addCleanup(hub.cleanup)
        self.assertTrue(hub.read_until("RS485 ["), hub.out)
        time.sleep(1.0)
        self.assertIsNone(hub.proc.poll(), "the file-size limit must not end the hub")
        hub.proc.send_signal(signal.SIGTERM)
        hub.finish()
        self.assertEqual(hub.proc.returncode, 0)
        self.assertLessEqual(sum(os.path.getsize(f) for f in hub.trace_files()), 512)

    def test_banner_goes_to_the_console_with_application_id_w(self):
        hub = self.start()
        hub.proc.send_signal(signal.SIGTERM)
        hub.finish()
        banner = [l for l in (hub.out.decode(errors="replace") + hub.err).splitlines()
                  if " w9999I " in l and "OQIVhub" in l]
        self.assertTrue(any(l.endswith(" QIVhub") for l in banner), banner)
        self.assertTrue(any(l.endswith("  revision [6534]") for l in banner), banner)


class HubStartUpSignalTest(unittest.TestCase):
    """Signals that come before the main loop runs: the plug-in's factory never returns."""

    def start_hanging(self):
        hub = Hub("-l", os.path.join(PLUGINS, "hang"))
        self.addCleanup(hub.cleanup)
        self.assertTrue(hub.read_until("hang: factory entered"), hub.out)
        return hub

    def assert_ended_after_its_lines(self, hub, handler_lines, sent):
        lines = hub.finish(timeout=20)
        elapsed = time.monotonic() - sent
        self.assertEqual(hub.proc.returncode, 0, lines[-10:])
        for line in handler_lines:
            i = lines.index(line)
            self.assertEqual(lines[i + 1:i + 3], ["__signalHandler: shutdown...",
                                                  "__signalHandler: exit..."])
        self.assertEqual(sum(l == "__signalHandler: exit..." for l in lines), len(handler_lines))
        # One loop period for start-up to finish after all, at most one second for the trace.
        self.assertLess(elapsed, 1.0 + 1.0 + 1.0 + EXIT_SLEEP)
        # The banner the trace had accepted reaches the file although the process never got to
        # its main loop.
        self.assertIn("  revision [6534]", hub.trace_text())

    def test_sigterm_while_the_factory_hangs_ends_the_hub_with_status_zero(self):
        hub = self.start_hanging()
        sent = time.monotonic()
        hub.proc.send_signal(signal.SIGTERM)
        self.assert_ended_after_its_lines(hub, [TERM_LINE], sent)

    def test_two_signals_in_a_row_while_the_factory_hangs_end_the_hub_once(self):
        hub = self.start_hanging()
        sent = time.monotonic()
        hub.proc.send_signal(signal.SIGINT)
        self.assertTrue(hub.read_until("__signalHandler: exit..."), hub.out)
        hub.proc.send_signal(signal.SIGTERM)
        self.assert_ended_after_its_lines(hub, [INT_LINE, TERM_LINE], sent)


class HubRepeatedSignalTest(unittest.TestCase):
    def test_a_second_signal_while_the_hub_ends_changes_nothing(self):
        hub = Hub()
        self.addCleanup(hub.cleanup)
        self.assertTrue(hub.read_until("RS485 ["), hub.out)
        hub.proc.send_signal(signal.SIGTERM)
        self.assertTrue(hub.read_until("__signalHandler: exit..."), hub.out)
        hub.proc.send_signal(signal.SIGINT)
        lines = hub.finish()
        self.assertEqual(hub.proc.returncode, 0)
        self.assertIn(TERM_LINE, lines)
        self.assertLessEqual(sum(l == "__signalHandler: exit..." for l in lines), 2)
        self.assertIn("  revision [6534]", hub.trace_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
