"""What bench/run.py computes from what it reads: percentiles, a process's threads seen through
/proc, their wake-ups and processor time over a window, and the verdicts of the report. Kept
apart from the running and the writing so that it can be tested on made-up readings
(bench/test_figures.py)."""
import math
import os
import re
import struct


# ---- order statistics ----

def percentile(values, p):
    """The nearest-rank p-th percentile (0 < p <= 100) of the values; None when there are none."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[rank - 1]


def median(values):
    """The middle value (the mean of the middle two for an even count); None when there are none."""
    if not values:
        return None
    ordered = sorted(values)
    n = len(ordered)
    mid = n // 2
    return ordered[mid] if n % 2 else (ordered[mid - 1] + ordered[mid]) / 2.0


# ---- a process's threads ----

def parse_status(text):
    """The context switches of a /proc/.../status text: voluntary + nonvoluntary."""
    total = 0
    for line in text.splitlines():
        key, _, value = line.partition(":")
        if key in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"):
            total += int(value.split()[0])
    return total


def parse_stat_start(text):
    """The start time (clock ticks after boot) of a /proc/.../stat text. The command name in
    brackets may itself hold spaces and brackets, so fields are counted after the last ')'."""
    fields = text.rsplit(")", 1)[1].split()
    return int(fields[19])


def parse_stat_ticks(text):
    """utime + stime (clock ticks) of a /proc/.../stat text."""
    fields = text.rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def wait_channel(text):
    """The kernel function a thread sleeps in, from its /proc/.../wchan text: "0" while it runs,
    nothing where the kernel does not tell."""
    text = (text or "").strip()
    return "(running)" if text == "0" else text or "-"


def snapshot(pid):
    """{tid: {"comm", "switches", "exec_ns" (None without schedstat), "start", "wchan"}} of every
    thread of the process that can still be read."""
    threads = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return threads
    for name in tids:
        base = f"/proc/{pid}/task/{name}"
        status, stat = _read(base + "/status"), _read(base + "/stat")
        if status is None or stat is None:
            continue  # the thread ended between the listing and the reading
        sched = _read(base + "/schedstat")
        threads[int(name)] = {
            "comm": (_read(base + "/comm") or "?").strip(),
            "switches": parse_status(status),
            "exec_ns": int(sched.split()[0]) if sched else None,
            "start": parse_stat_start(stat),
            "wchan": wait_channel(_read(base + "/wchan")),
        }
    return threads


def window(pid, first, last, seconds):
    """Per-thread wake-ups over a window between two snapshots of a process.

    A context switch, voluntary or not, is counted as one wake-up: a thread that sleeps and wakes
    is switched out once per sleep. A thread that started during the window counts all its
    switches; one that ended during it is listed with what is known (None) and counts towards
    nothing, which the report says. Rows come in the order the threads were started."""
    rows = []
    for tid in sorted(set(first) | set(last),
                      key=lambda t: ((last.get(t) or first.get(t))["start"], t)):
        a, b = first.get(tid), last.get(tid)
        if b is None:
            rows.append({"tid": tid, "comm": a["comm"], "wchan": a["wchan"], "switches": None,
                         "per_second": None, "exec_ns": None, "note": "ended during the window"})
            continue
        base_switches = a["switches"] if a else 0
        switches = b["switches"] - base_switches
        exec_ns = None
        if b["exec_ns"] is not None and (a is None or a["exec_ns"] is not None):
            exec_ns = b["exec_ns"] - (a["exec_ns"] if a else 0)
        rows.append({"tid": tid, "comm": b["comm"], "wchan": b["wchan"], "switches": switches,
                     "per_second": switches / seconds, "exec_ns": exec_ns,
                     "note": "" if a else "started during the window"})
    for n, row in enumerate(rows, 1):
        row["label"] = "main" if row["tid"] == pid else f"thread {n}"
    counted = [r for r in rows if r["switches"] is not None]
    total = sum(r["switches"] for r in counted)
    exec_values = [r["exec_ns"] for r in counted]
    cpu = (100.0 * sum(exec_values) / (seconds * 1e9)
           if counted and all(v is not None for v in exec_values) else None)
    return {"threads": rows, "total_per_second": total / seconds, "cpu_percent": cpu,
            "seconds": seconds}


# ---- whose code a thread is running ----

def executable_ranges(maps_text, suffix):
    """[(start, end)] of the executable mappings of files whose path ends with suffix, from a
    /proc/PID/maps text."""
    ranges = []
    for line in maps_text.splitlines():
        parts = line.split()
        if len(parts) < 6 or "x" not in parts[1] or not parts[5].endswith(suffix):
            continue
        lo, hi = (int(x, 16) for x in parts[0].split("-"))
        ranges.append((lo, hi))
    return ranges


def holds_address(words, ranges):
    """Whether any of the words points into one of the ranges."""
    return any(lo <= w < hi for w in words for lo, hi in ranges)


def stack_words(pid, tid, span=16384):
    """The machine words on a sleeping thread's stack above its stack pointer (its callers'
    frames), up to span bytes; [] when the thread is running or the memory cannot be read."""
    syscall = _read(f"/proc/{pid}/task/{tid}/syscall")
    if not syscall:
        return []
    fields = syscall.split()
    if len(fields) < 9 or not re.fullmatch(r"\d+", fields[0]):
        return []  # "running" or a blocked state without registers
    sp = int(fields[7], 16)
    size = struct.calcsize("P")
    try:
        with open(f"/proc/{pid}/mem", "rb") as mem:
            mem.seek(sp)
            data = mem.read(span)
    except (OSError, ValueError, OverflowError):
        return []
    data = data[: len(data) - len(data) % size]
    return list(struct.unpack(f"{len(data) // size}P", data))


def mark_plugin_threads(pid, rows, plugin_suffix):
    """Marks each row whose thread has the plug-in's code on its stack (row["plugin"]); the
    plug-in's own threads are the plug-in's design, not the hub's."""
    ranges = executable_ranges(_read(f"/proc/{pid}/maps") or "", plugin_suffix)
    for row in rows:
        row["plugin"] = bool(ranges) and row["switches"] is not None and holds_address(
            stack_words(pid, row["tid"]), ranges)


# ---- verdicts ----

def at_most(value, target):
    """Verdict of a figure that must not exceed its target; a miss says by how much."""
    if value is None:
        return "not measured"
    if value <= target:
        return "met"
    return f"**not met** ({value / target:.2f}× the target)"


def at_least(value, target):
    """Verdict of a figure that must reach its target; a miss says how far it got."""
    if value is None:
        return "not measured"
    if value >= target:
        return "met"
    return f"**not met** ({100.0 * value / target:.0f} % of the target)"


def fmt(value, digits=3):
    """A figure for a table: thousands separated from 100 on, else `digits` significant digits;
    a dash for a figure that was not measured."""
    if value is None:
        return "–"
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:.{digits}g}"


def fmt_ratio(value):
    """A ratio for a table: two decimals; a dash for one that was not measured."""
    return "–" if value is None else f"{value:.2f}"


def pair(before, after, form=fmt):
    """"before → after" for a table cell."""
    return f"{form(before)} → {form(after)}"
