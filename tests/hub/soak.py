"""The hub under the stress plug-in (tests/plugins/stress.c): runs it, then checks what the
console, stress.txt and the trace files say. Used by hub_soak_test.py (a short run), by
hub_faults_test.py (stops in the middle of a flood) and by tools/reliability.py (the long run,
whose figures go into docs/reliability.md).

Rejected records are told apart on the console: the queue's warning is written on the posting
thread just before that thread's echo of the record it refused."""
import glob
import os
import re
import signal

from hubrun import SANITIZER, ConsoleHub, wait_for

REJECTED = b"QueueOp.post: count("
EVENT_RE = re.compile(rb"listener: s(\d+)e(\d+)")
BURST_RE = re.compile(r"burst (\d+) events (\d+) before (-?\d+) after (-?\d+)(.*)")
TYPE_RE = re.compile(r" t(\d+)([+-]\d+)")
# The trace queue keeps up to this many message nodes (allocation type 11) for its next posts:
# blocks that stay after the first deep bursts without being a leak.
QUEUE_SPARE = 64
QUEUE_TID = 11
FILE_LIMIT = 100 * 1024  # a trace file rotates once it holds 100 KB


def stress_env(seconds, threads=8, burst=2000):
    return {"STRESS_SECONDS": str(seconds), "STRESS_THREADS": str(threads),
            "STRESS_BURST": str(burst)}


def console_figures(path, threads, problems):
    """Per stress thread: events echoed (they must come 0, 1, 2 ... in order) and the sequence
    numbers of the rejected ones."""
    echoed = [0] * threads
    rejected = [set() for _ in range(threads)]
    pending = [False] * threads
    names = {("stress%d" % k).encode(): k for k in range(threads)}
    other_rejections = 0
    with open(path, "rb") as f:
        for line in f:
            if REJECTED not in line and b"listener: s" not in line:
                continue
            k = names.get(line[27:35].rstrip())
            if REJECTED in line:
                if k is None:
                    other_rejections += 1
                elif pending[k]:
                    problems.append("two rejections in a row on stress%d" % k)
                else:
                    pending[k] = True
                continue
            m = EVENT_RE.search(line)
            if not m or k is None or int(m.group(1)) != k:
                problems.append("event echoed on a foreign thread: %r" % line[:120])
                continue
            seq = int(m.group(2))
            if seq != echoed[k]:
                problems.append("stress%d echoed event %d where %d was due" % (k, seq, echoed[k]))
            echoed[k] = seq + 1
            if pending[k]:
                rejected[k].add(seq)
                pending[k] = False
    return echoed, rejected, other_rejections


def file_figures(directory, threads, problems):
    """Per stress thread: the sequence numbers found in the trace files, each checked to appear
    once and, within each file, in order."""
    present = [set() for _ in range(threads)]
    names = sorted(glob.glob(os.path.join(directory, "qivhub.*.trc")))
    oversize = []
    for name in names:
        last = [-1] * threads
        size = os.path.getsize(name)
        if size > FILE_LIMIT + 8192:
            oversize.append((os.path.basename(name), size))
        with open(name, "rb") as f:
            for line in f:
                m = EVENT_RE.search(line)
                if not m:
                    continue
                k, seq = int(m.group(1)), int(m.group(2))
                if k >= threads:
                    problems.append("unknown thread in %s: %r" % (name, line[:120]))
                    continue
                if seq in present[k]:
                    problems.append("s%de%07d written twice" % (k, seq))
                if seq <= last[k]:
                    problems.append("s%de%07d after s%de%07d in %s" % (
                        k, seq, k, last[k], os.path.basename(name)))
                present[k].add(seq)
                last[k] = seq
    if oversize:
        problems.append("trace files past their size: %s" % oversize)
    return present, [os.path.basename(n) for n in names]


def run(plugins, seconds, threads=8, burst=2000, timeout_margin=120):
    """Runs one soak; returns (figures, problems). problems is empty when everything held."""
    problems = []
    hub = ConsoleHub(plugins, "-byte", env=stress_env(seconds, threads, burst))
    try:
        finished = wait_for(lambda: "done bursts" in hub.text("stress.txt"),
                            timeout=seconds + timeout_margin, step=0.2)
        if not finished:
            problems.append("the stress plug-in did not finish (hub %s)" % (
                "running" if hub.proc.poll() is None else "ended %s" % hub.proc.returncode))
        # The last burst has drained (its line is written after that): the files are complete.
        hub.proc.send_signal(signal.SIGTERM)
        # Generous: the process's last thread may be one the plug-in lowered to the least
        # priority, and on a busy machine the kernel's release of its memory then waits long.
        code = hub.finish(90.0)
        if code != 0:
            problems.append("the hub ended with %s" % code)
        with open(hub.console_path, "rb") as f:
            tail = f.read()
        for marker in SANITIZER:
            if marker.encode() in tail:
                problems.append("sanitizer report on the console: %s" % marker)
        stress_text = hub.text("stress.txt")
        bursts = []
        spare = 0
        for m in BURST_RE.finditer(stress_text):
            one = tuple(int(x) for x in m.groups()[:4])
            bursts.append(one)
            if one[3] <= one[2]:
                continue
            types = {int(t): int(d) for t, d in TYPE_RE.findall(m.group(5))}
            spare += types.get(QUEUE_TID, 0)
            others = {t: d for t, d in types.items() if t != QUEUE_TID and d > 0}
            if others or spare > QUEUE_SPARE:
                problems.append("live blocks not back at their level after burst %d: %s" % (
                    one[0], m.group(0)))
        echoed, rejected, other_rejections = console_figures(hub.console_path, threads,
                                                              problems)
        present, files = file_figures(hub.dir, threads, problems)
        written = sum(echoed)
        n_rejected = sum(len(r) for r in rejected)
        in_files = overwritten = lost = 0
        for k in range(threads):
            wrongly = present[k] & rejected[k]
            if wrongly:
                problems.append("stress%d: %d rejected records in the files" % (k, len(wrongly)))
            first = min(present[k]) if present[k] else echoed[k]
            for seq in range(echoed[k]):
                if seq in rejected[k]:
                    continue
                if seq in present[k]:
                    in_files += 1
                elif seq < first:
                    overwritten += 1  # in a file that rotation has since reused
                else:
                    lost += 1
        if lost:
            problems.append("%d accepted records missing from the trace files" % lost)
        if written and len(files) < 10 and written * 60 > 10 * FILE_LIMIT:
            problems.append("only %d trace files after %d records" % (len(files), written))
        figures = {
            "seconds": seconds, "threads": threads, "burst": burst, "bursts": len(bursts),
            "written": written, "rejected": n_rejected, "other_rejections": other_rejections,
            "in_files": in_files, "overwritten": overwritten, "lost": lost,
            "trace_files": len(files),
            "live_before_max": max((b[2] for b in bursts), default=0),
            "live_after_max": max((b[3] for b in bursts), default=0),
        }
        return figures, problems
    finally:
        hub.cleanup()
