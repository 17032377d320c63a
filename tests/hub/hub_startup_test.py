#!/usr/bin/env python3
"""End-to-end: the hub's start-up, trace files, plug-in hand-off, console keys and listener,
on the real binary with test plug-ins. QIVHUB_PLUGINS names the directory holding the test
plug-ins (recorder/qiv.so) and QIVHUB_VIRTUAL the simulated device's directory."""
import os
import re
import signal
import subprocess
import time
import unittest

from hubrun import START_LINES, STAMP, Hub, wait_for

RECORDER = os.path.join(os.environ["QIVHUB_PLUGINS"], "recorder")
VIRTUAL = os.environ["QIVHUB_VIRTUAL"]


def record_re(level, obj, message):
    return re.compile(r"^%s w9999%s \S+\s* %-8s \d{4} %s$" % (STAMP, level, obj, re.escape(message)),
                      re.M)


class HubStartupTest(unittest.TestCase):
    def run_hub(self, *args, env=None, stdin=subprocess.DEVNULL):
        hub = Hub(*args, env=env, stdin=stdin)
        self.addCleanup(hub.cleanup)
        self.assertTrue(hub.read_until("RS485 ["), hub.out)
        return hub

    def stop(self, hub):
        hub.proc.send_signal(signal.SIGTERM)
        lines = hub.finish()
        self.assertEqual(hub.proc.returncode, 0, hub.err)
        return lines

    def test_defaults_write_the_banner_to_the_first_trace_file_and_run_without_plugin(self):
        hub = self.run_hub()
        self.assertTrue(wait_for(lambda: "lumo_lib_load" in hub.trace_text()))
        time.sleep(1.2)  # the hub keeps running without its plug-in
        self.assertIsNone(hub.proc.poll())
        lines = self.stop(hub)
        self.assertEqual(lines[:5], START_LINES)
        self.assertEqual([os.path.basename(f) for f in hub.trace_files()], ["qivhub.000.trc"])
        text = hub.trace_text()
        for message in ["-" * 40, "QIVhub", "  revision [6534]", "  ID [256]", "  Server []",
                        "  RS485 []"]:
            self.assertRegex(text, record_re("I", "OQIVhub", message))
        self.assertRegex(text, r"(?m)^       pwd = %s$" % re.escape(os.path.realpath(hub.dir)))
        self.assertRegex(text, r"(?m)^      args = OCmdLn: $")
        self.assertRegex(text, r"(?m)^%s w9999E main     OLib     \d{4} "
                               r"lumo_lib_load \[\./qiv\.so\] failed\. rc=.*qiv\.so" % STAMP)
        # Level 0x10006: no debug, byte or parser records.
        self.assertNotRegex(text, r"(?m)^%s w9999[DBS] " % STAMP)

    def test_level_options_switch_on_their_records(self):
        hub = self.run_hub("-debug", "-byte", "-parse", "-monitor", "-l", RECORDER)
        self.assertTrue(wait_for(lambda: " w9999B " in hub.trace_text(), 10))
        self.stop(hub)
        text = hub.trace_text()
        self.assertRegex(text, r"(?m)^%s w9999D .*lumo_lib_load OK" % STAMP)
        self.assertRegex(text, r"(?m)^%s w9999B .*memory allocations old=\d+ new=\d+$" % STAMP)
        self.assertRegex(text, r"(?m)^%s w9999S .*Attribute \[iid\] not found in node \[digint\]\.$"
                         % STAMP)

    def test_plugin_receives_the_digint_node_in_order(self):
        hub = self.run_hub("-server", "myhost", "-id", "7", "-rs485", "/dev/ttyS1", "-l", RECORDER)
        self.assertTrue(wait_for(lambda: hub.file_text("digint.txt") is not None))
        self.stop(hub)
        self.assertEqual(hub.file_text("digint.txt"),
                         "name=digint\niid=qivlib\nhost=myhost\nuid=7\nsublib=usb\n"
                         "device=/dev/ttyS1\n")
        self.assertRegex(hub.trace_text(), record_re("I", "OQIVhub", "  Server [myhost]"))

    def test_plugin_without_options_gets_the_defaults_and_no_host(self):
        hub = self.run_hub("-l", RECORDER)
        self.assertTrue(wait_for(lambda: hub.file_text("digint.txt") is not None))
        self.stop(hub)
        self.assertEqual(hub.file_text("digint.txt"),
                         "name=digint\niid=qivlib\nuid=256\nsublib=usb\ndevice=\n")

    def test_console_keys_query_and_quit(self):
        hub = self.run_hub("-console", "-l", RECORDER, stdin=subprocess.PIPE)
        hub.send("5\n")
        self.assertTrue(wait_for(lambda: hub.file_text("commands.txt") is not None))
        hub.send("Q\nx")
        hub.send("q\n")
        hub.finish()
        self.assertEqual(hub.proc.returncode, 0, hub.err)
        self.assertEqual(hub.file_text("commands.txt"), "program cmd=25\n")
        text = hub.trace_text()
        self.assertEqual(len(record_re("I", "OQIVhub", "do query...").findall(text)), 1)
        self.assertRegex(text, record_re("I", "OQIVhub", "Shutdown requested."))

    def test_null_factory_ignores_the_query_key(self):
        hub = self.run_hub("-console", "-l", RECORDER, env={"RECORDER_NULL": "1"},
                           stdin=subprocess.PIPE)
        hub.send("5\n")
        time.sleep(0.5)
        hub.send("q")
        hub.finish()
        self.assertEqual(hub.proc.returncode, 0, hub.err)
        self.assertIsNone(hub.file_text("commands.txt"))
        self.assertNotIn("do query...", hub.trace_text())

    def test_sigterm_ends_console_mode_without_a_key(self):
        hub = self.run_hub("-console", stdin=subprocess.PIPE)
        time.sleep(0.3)
        sent = time.monotonic()
        self.stop(hub)
        self.assertLess(time.monotonic() - sent, 1.5)

    def test_end_of_console_input_does_not_spin(self):
        hub = self.run_hub("-console")  # stdin is /dev/null: end of input at once
        time.sleep(0.5)
        before = self.cpu_seconds(hub.proc.pid)
        time.sleep(2.0)
        used = self.cpu_seconds(hub.proc.pid) - before
        self.stop(hub)
        self.assertLess(used, 0.5, "the console loop must not spin at end of input")

    @staticmethod
    def cpu_seconds(pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def test_events_from_several_threads_rotate_the_files_and_none_is_lost(self):
        threads, events = 4, 1000
        hub = self.run_hub("-l", RECORDER,
                           env={"RECORDER_THREADS": str(threads), "RECORDER_EVENTS": str(events)})
        pattern = re.compile(r"listener: (t\d+e\d+)$", re.M)
        self.assertTrue(wait_for(lambda: len(pattern.findall(hub.trace_text())) >= threads * events,
                                 120), len(pattern.findall(hub.trace_text())))
        self.stop(hub)
        names = [os.path.basename(f) for f in hub.trace_files()]
        self.assertIn("qivhub.001.trc", names)
        seen = pattern.findall(hub.trace_text())
        self.assertEqual(len(seen), len(set(seen)), "an event was written twice")
        self.assertEqual(len(seen), threads * events)
        for t in range(threads):
            mine = [s for s in seen if s.startswith("t%de" % t)]
            self.assertEqual(mine, ["t%de%06d" % (t, i) for i in range(events)])
        for name in hub.trace_files()[:-1]:
            self.assertGreaterEqual(os.path.getsize(name), 100 * 1024)

    def test_simulated_device_reports_events_and_answers_the_query(self):
        hub = self.run_hub("-console", "-l", VIRTUAL, stdin=subprocess.PIPE)
        self.assertTrue(wait_for(lambda: "listener: sensor" in hub.trace_text(), 15))
        hub.send("5")
        self.assertTrue(wait_for(lambda: "listener: program" in hub.trace_text(), 10))
        hub.send("q")
        hub.finish()
        self.assertEqual(hub.proc.returncode, 0, hub.err)
        self.assertIn("virtual device: iid=[qivlib] host=[] uid=256 sublib=[usb] device=[]",
                      hub.trace_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
