#!/usr/bin/env python3
"""Regenerates docs/reliability.md: fuzz executions and findings per target, allocation points
injected per module, the soak's records written/rejected/lost, and valgrind's summary of a hub
run. `make reliability` builds what it needs and runs this; each part can also be skipped.

    tools/reliability.py --asan build/asan --plain build/plain --fuzz build/fuzz \\
        --fuzz-seconds 30 --soak-seconds 60 --out docs/reliability.md"""
import argparse
import datetime
import glob
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Faults these checks found, and how each was mended (kept here so the report is regenerated
# with them).
FINDINGS = [
    ("trace (impl/trace)", "soak",
     "Trace files written within one second tie on their modification time (whole seconds); "
     "the rotation then alternated between the two lowest free numbers, truncating the newest "
     "records and keeping the oldest files (18759 accepted records lost in an 8 s soak).",
     "On equal times the number after the file being left, in rotation order, wins; opening "
     "afresh still takes the lowest. Test: TraceFileTest.RotationWithinOneSecondKeepsTheNewestRecords."),
    ("hub entry (qivhub/impl/main)", "signals during a burst",
     "The signal handler wrote its first line in five pieces; with plug-in threads tracing at "
     "the same time other records landed inside it, so \"__signalHandler: 15 Software "
     "termination signal from kill.\" did not appear as a line.",
     "The line is built on the stack and written with one write(2) (still async-signal-safe). "
     "Test: hub_faults_test (SIGTERM/SIGINT during a burst)."),
    ("attribute (impl/attr)", "allocation-failure injection",
     "getVal answered the stored, escaped text (\"a&lt;b\") as the value when the decoded copy "
     "could not be allocated: a failure reported as success with a wrong value.",
     "getVal returns null then; NodeOp.getStr falls back to its default. Test: "
     "AttrTest.GetValGivesNullWhenTheDecodedCopyCannotBeMade."),
    ("document writer (impl/doc_write)", "allocation-failure injection",
     "node2String returned a document without an attribute (or without its XML declaration) "
     "when that piece's text could not be allocated.",
     "The whole text fails (null) instead. Test: "
     "DocTest.SerializingUnderAFailingAllocationGivesNullOrTheWholeText."),
]


def fuzz_part(fuzz_dir, seconds):
    env = dict(os.environ)
    env.setdefault("ASAN_OPTIONS", "halt_on_error=1:detect_leaks=1")
    env.setdefault("UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1")
    before = set(glob.glob(os.path.join(fuzz_dir, "artifacts", "*")))
    rc = subprocess.run([os.path.join(ROOT, "fuzz", "run.sh"), fuzz_dir, str(seconds)],
                        env=env).returncode
    found = set(glob.glob(os.path.join(fuzz_dir, "artifacts", "*"))) - before
    rows = []
    with open(os.path.join(fuzz_dir, "fuzz_targets.txt")) as f:
        targets = [t.strip() for t in f if t.strip()]
    for target in targets:
        log = os.path.join(fuzz_dir, "logs", target + ".log")
        text = open(log, errors="replace").read() if os.path.exists(log) else ""
        execs = re.findall(r"stat::number_of_executed_units: (\d+)", text)
        units = re.findall(r"stat::new_units_added: (\d+)", text)
        crashes = [os.path.basename(a) for a in found if os.path.basename(a).startswith(target)]
        rows.append((target, int(execs[-1]) if execs else 0, int(units[-1]) if units else 0,
                     ", ".join(crashes) or "none"))
    return rc == 0, rows


def oom_part(asan_dir):
    with tempfile.NamedTemporaryFile(suffix=".txt", delete=False) as f:
        report = f.name
    env = dict(os.environ, LUMO_OOM_REPORT=report)
    proc = subprocess.run([os.path.join(asan_dir, "tests", "oom_test")], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          errors="replace")
    rows = []
    with open(report) as f:
        for line in f:
            module, points = line.split()
            rows.append((module, int(points)))
    os.unlink(report)
    return proc.returncode == 0, rows


def soak_part(asan_dir, seconds):
    os.environ["QIVHUB"] = os.path.join(asan_dir, "qivhub")
    sys.path.insert(0, os.path.join(ROOT, "tests", "hub"))
    import soak  # noqa: E402 (needs QIVHUB first)
    figures, problems = soak.run(os.path.join(asan_dir, "tests", "plugins", "stress"), seconds)
    return not problems, figures, problems


def valgrind_part(plain_dir):
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import valgrind_hub  # noqa: E402
    figures = valgrind_hub.run(os.path.join(plain_dir, "qivhub"),
                               os.path.join(plain_dir, "plugins"))
    return figures["ok"], figures


def verdict(ok):
    return "passed" if ok else "FAILED"


def write(out, args, fuzz, oom, soak, valgrind):
    lines = ["# Reliability", "",
             "Generated by `tools/reliability.py` (`make reliability`) on %s." %
             datetime.date.today().isoformat(), ""]
    lines += ["## Fuzzing", ""]
    if fuzz:
        ok, rows = fuzz
        lines += ["libFuzzer with ASan and UBSan, %d s per target, seeds from `fuzz/corpus/`: %s." %
                  (args.fuzz_seconds, verdict(ok)), "",
                  "| target | executions | new units | findings in this run |",
                  "|---|---:|---:|---|"]
        lines += ["| %s | %d | %d | %s |" % r for r in rows]
        lines += ["", "Each target checks properties, not only crashes: round trips (XML, URL, "
                  "Latin/UTF-8, hexadecimal), models of the rule (replaceAllSub, the command line, "
                  "xAttr against checkAttrRange) and the live-block count after every input. "
                  "Documented one-way escapes are exempt: \"&middot;\" is written but not read "
                  "as an entity, 0xA0 written as \"&nbsp;\" reads back as a space."]
    else:
        lines.append("Not run.")
    lines += ["", "## Allocation-failure injection", ""]
    if oom:
        ok, rows = oom
        lines += ["`tests/lumo/oom_test.cpp`: each path run once per allocation it makes, with "
                  "that allocation failing; no crash, no leak, the failure reported, the live-block "
                  "count back: %s." % verdict(ok), "",
                  "| path | allocation points injected |", "|---|---:|"]
        lines += ["| %s | %d |" % r for r in rows]
        lines.append("| **total** | %d |" % sum(r[1] for r in rows))
    else:
        lines.append("Not run.")
    lines += ["", "## Soak", ""]
    if soak:
        ok, f, problems = soak
        lines += ["The hub (ASan build) with `tests/plugins/stress.c`: %d threads, bursts of %d "
                  "events each (%d at once, beyond the trace queue's 10000), %d s, trace writer at "
                  "the lowest priority: %s." % (f["threads"], f["burst"], f["threads"] * f["burst"],
                                                f["seconds"], verdict(ok)), "",
                  "| figure | value |", "|---|---:|",
                  "| bursts | %d |" % f["bursts"],
                  "| records written (echoed) | %d |" % f["written"],
                  "| rejected by the full queue (counted on the console) | %d |" % f["rejected"],
                  "| in the trace files | %d |" % f["in_files"],
                  "| in files since reused by the rotation | %d |" % f["overwritten"],
                  "| lost (accepted, newer than the oldest kept, missing) | %d |" % f["lost"],
                  "| trace files | %d |" % f["trace_files"],
                  "| live blocks before a burst (max) | %d |" % f["live_before_max"],
                  "| live blocks after the drain (max) | %d |" % f["live_after_max"]]
        if problems:
            lines += ["", "Problems:", ""] + ["- %s" % p for p in problems]
    else:
        lines.append("Not run.")
    lines += ["", "## valgrind", ""]
    if valgrind:
        ok, f = valgrind
        lines += ["memcheck of the hub (no sanitizers): start, events of the simulated plug-in, "
                  "console query \"5\", SIGTERM: %s." % verdict(ok), "",
                  "| figure | value |", "|---|---|",
                  "| errors | %s from %s contexts |" % (f["errors"], f["contexts"]),
                  "| exit status | %s |" % f["exit"]]
        for kind in ("definitely lost", "indirectly lost", "possibly lost", "still reachable"):
            lines.append("| %s | %s |" % (kind, f[kind]))
        lines += ["", "The hub never tears down what it builds (it exits from its loop), so blocks "
                  "remain at exit; \"possibly lost\" are blocks reached through pointers behind the "
                  "memory manager's header and the stacks of detached threads."]
    else:
        lines.append("Not run.")
    # The fault classes are prose kept beside this script: the regenerated figures never drop it.
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           "reliability_classes.md")) as f:
        lines += [""] + f.read().rstrip("\n").splitlines()
    lines += ["", "## Faults found and fixed", "",
              "| module | found by | fault | fix |", "|---|---|---|---|"]
    lines += ["| %s | %s | %s | %s |" % f for f in FINDINGS]
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--asan", default="build/asan")
    p.add_argument("--plain", default="build/plain")
    p.add_argument("--fuzz", default="build/fuzz")
    p.add_argument("--fuzz-seconds", type=int, default=30)
    p.add_argument("--soak-seconds", type=int, default=60)
    p.add_argument("--skip", action="append", default=[],
                   choices=["fuzz", "oom", "soak", "valgrind"])
    p.add_argument("--out", default=os.path.join(ROOT, "docs", "reliability.md"))
    args = p.parse_args()
    asan, plain, fuzz_dir = (os.path.abspath(d) for d in (args.asan, args.plain, args.fuzz))
    fuzz = None if "fuzz" in args.skip else fuzz_part(fuzz_dir, args.fuzz_seconds)
    oom = None if "oom" in args.skip else oom_part(asan)
    soak = None if "soak" in args.skip else soak_part(asan, args.soak_seconds)
    valgrind = None if "valgrind" in args.skip else valgrind_part(plain)
    write(args.out, args, fuzz, oom, soak, valgrind)
    parts = [x for x in (fuzz, oom, soak, valgrind) if x]
    print("written %s" % args.out)
    return 0 if all(x[0] for x in parts) else 1


if __name__ == "__main__":
    sys.exit(main())
