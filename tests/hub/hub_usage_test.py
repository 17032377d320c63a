#!/usr/bin/env python3
"""End-to-end: --help and -version answer without starting anything, the usage and the manual
page list the same options and keys, and the page renders cleanly. QIVHUB_PLUGINS names the
directory holding the recorder plug-in, which leaves digint.txt behind once it is loaded."""
import os
import re
import shutil
import signal
import subprocess
import unittest

from hubrun import START_LINES, Hub

RECORDER = os.path.join(os.environ["QIVHUB_PLUGINS"], "recorder")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGE = os.path.join(ROOT, "qivhub", "qivhub.8")


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(qivhub VERSION ([\d.]+)", f.read()).group(1)


def unroff(text):
    return text.replace("\\-", "-").replace("\\&", "").replace("\\e", "\\")


def page_entries(section):
    """(term, text) of each .TP entry of a section of the page, the term as the usage writes it
    (option, a blank, argument)."""
    with open(PAGE, encoding="utf-8") as f:
        body = f.read().split("\n.SH %s\n" % section)[1]
    body = body.split("\n.SH ")[0]
    found = []
    for term, text in re.findall(r"^\.TP\n(\.BI? .*)\n(.*)$", body, re.M):
        if term.startswith(".BI "):
            option, arg = re.fullmatch(r'\.BI (\S+) " (.*)"', term).groups()
            term = "%s %s" % (option, arg)
        else:
            term = term[len(".B "):]
        found.append((unroff(term), unroff(text)))
    return found


def usage_entries(lines):
    """(term, text) of each indented line of the usage: term and text are apart by two blanks
    or more."""
    return [tuple(re.fullmatch(r"  (\S+(?: \S+)?) {2,}(.*)", line).groups())
            for line in lines if line.startswith("  ")]


class HubUsageTest(unittest.TestCase):
    def answer(self, *args):
        """Runs the hub with the recorder plug-in's directory; returns its stdout lines once it
        has ended on its own, after checking that it started nothing."""
        hub = Hub(*args, "-l", RECORDER)
        self.addCleanup(hub.cleanup)
        lines = hub.finish()
        self.assertEqual(hub.proc.returncode, 0, hub.err)
        self.assertEqual(hub.err, "")
        for start_line in START_LINES:
            self.assertNotIn(start_line, lines)
        self.assertEqual(hub.trace_files(), [])
        self.assertIsNone(hub.file_text("digint.txt"), "the plug-in was loaded")
        return lines

    def test_help_prints_the_usage_and_starts_nothing_wherever_it_stands(self):
        for args in [("--help",), ("-debug", "--help"), ("--help", "-id", "7"),
                     ("-version", "--help")]:
            with self.subTest(args=args):
                lines = self.answer(*args)
                self.assertEqual(lines[0], "usage: qivhub [OPTION]...")
                terms = [term for term, _ in usage_entries(lines)]
                for option in ["-l DIR", "-id N", "-server HOST", "-rs485 DEVICE", "-console",
                               "-debug", "-byte", "-parse", "-monitor", "--help", "-version",
                               "q", "5"]:
                    self.assertIn(option, terms)

    def test_version_prints_name_version_and_revision(self):
        for args in [("-version",), ("-console", "-version")]:
            with self.subTest(args=args):
                self.assertEqual(self.answer(*args),
                                 ["QIVhub %s revision 6534" % project_version()])

    def test_lookalikes_of_the_info_options_start_the_hub(self):
        hub = Hub("-help", "-versions", "-l", RECORDER)
        self.addCleanup(hub.cleanup)
        self.assertTrue(hub.read_until("RS485 ["), hub.out)
        hub.proc.send_signal(signal.SIGTERM)
        self.assertEqual(hub.finish()[:5], START_LINES)
        self.assertEqual(hub.proc.returncode, 0, hub.err)

    def test_usage_and_manual_page_list_the_same_lines(self):
        usage = usage_entries(self.answer("--help"))
        keys = page_entries("CONSOLE KEYS")
        self.assertEqual(usage, page_entries("OPTIONS") + keys)
        self.assertEqual([term for term, _ in keys], ["q", "5"])

    def test_manual_page_renders_without_warnings(self):
        if not shutil.which("groff"):
            self.skipTest("groff is not installed")
        result = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", PAGE],
                                capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main(verbosity=2)
