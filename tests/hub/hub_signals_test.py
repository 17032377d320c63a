#!/usr/bin/env python3
"""End-to-end: the real qivhub binary prints its start-up lines, reacts to signals as documented
and ends in time. QIVHUB names the binary; QIVHUB_EMULATOR (optional) the command that runs it
(qemu-arm for the cross build)."""
import signal
import time
import unittest

from hubrun import START_LINES, Hub


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
        self.assertLess(elapsed, 1.5, "SIGTERM must end the hub within 1.5 s")

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

    def test_banner_goes_to_the_console_with_application_id_w(self):
        hub = self.start()
        hub.proc.send_signal(signal.SIGTERM)
        hub.finish()
        banner = [l for l in (hub.out.decode(errors="replace") + hub.err).splitlines()
                  if " w9999I " in l and "OQIVhub" in l]
        self.assertTrue(any(l.endswith(" QIVhub") for l in banner), banner)
        self.assertTrue(any(l.endswith("  revision [6534]") for l in banner), banner)


if __name__ == "__main__":
    unittest.main(verbosity=2)
