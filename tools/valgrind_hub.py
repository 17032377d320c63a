#!/usr/bin/env python3
"""Runs the hub under valgrind's memcheck through start-up, events of the simulated plug-in, the
console query "5" and a stop by SIGTERM, and reports memcheck's summary. The build must be one
without sanitizers (they do not run under valgrind).

    tools/valgrind_hub.py --hub build/rel/qivhub --plugins build/rel/plugins [--json out.json]

Exit status 0 when memcheck found no errors (definite leaks count as errors)."""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time


def wait_for(predicate, timeout, step=0.2):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def run(hub, plugins, timeout=120):
    with tempfile.TemporaryDirectory() as work:
        log = os.path.join(work, "valgrind.log")
        console = os.path.join(work, "console.out")

        def text():
            with open(console, encoding="latin-1") as f:
                return f.read()

        with open(console, "wb") as out:
            proc = subprocess.Popen(
                ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
                 "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
                 "--log-file=" + log, hub, "-console", "-l", plugins],
                cwd=work, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)
            steps = []
            try:
                steps.append(("banner", wait_for(lambda: "RS485 [" in text(), timeout)))
                steps.append(("events", wait_for(lambda: text().count("listener: ") >= 2, timeout)))
                proc.stdin.write(b"5")
                proc.stdin.flush()
                steps.append(("query", wait_for(lambda: "do query..." in text(), timeout)))
                steps.append(("answer", wait_for(
                    lambda: "listener: " in text().split("do query...", 1)[-1], timeout)))
                proc.send_signal(signal.SIGTERM)
                proc.wait(timeout)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
        with open(log, encoding="latin-1") as f:
            report = f.read()
    figures = {"exit": proc.returncode, "steps": dict(steps)}
    m = re.findall(r"ERROR SUMMARY: (\d+) errors from (\d+) contexts", report)
    figures["errors"] = int(m[-1][0]) if m else None
    figures["contexts"] = int(m[-1][1]) if m else None
    for kind in ("definitely lost", "indirectly lost", "possibly lost", "still reachable"):
        k = re.findall(kind + r": ([\d,]+) bytes in ([\d,]+) blocks", report)
        figures[kind] = ("%s bytes in %s blocks" % k[-1]) if k else "0 bytes in 0 blocks"
    figures["ok"] = (figures["errors"] == 0 and proc.returncode == 0 and all(figures["steps"].values()))
    if not figures["ok"]:
        figures["report_tail"] = report[-4000:]
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hub", required=True)
    parser.add_argument("--plugins", required=True, help="directory of the simulated qiv.so")
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args()
    figures = run(os.path.abspath(args.hub), os.path.abspath(args.plugins))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
    print(json.dumps({k: v for k, v in figures.items() if k != "report_tail"}))
    if not figures["ok"]:
        print(figures.get("report_tail", ""), file=sys.stderr)
    return 0 if figures["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
