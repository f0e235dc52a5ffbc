"""Summaries of `perf script` output for the profile_tyvo.sh modes.

    python perf_summary.py cpu FILE        inclusive share of the bridge's hot functions, per thread
    python perf_summary.py pipeline FILE   when each step of a run happens, per 20 ms, from uprobes
    python perf_summary.py massif FILE JOBS  the heap's peak snapshot by allocation site, per job
    python perf_summary.py gil-probes LIBPYTHON  where to put the interpreter-lock probes (perf probe specs)
    python perf_summary.py gil FILE        interpreter-lock waits and hand-overs per burst, loop vs workers

Plain text in, plain text out: no perf Python bindings needed.
"""

import collections
import math
import re
import subprocess
import sys

# Frames whose inclusive share tells where a run's CPU goes (matched as substrings).
HOT = [
    ("worker: call the handlers (batched, GIL held)", "call_handlers"),
    ("worker: hand_over (coroutines to the loop)", "tyvo::py::hand_over"),
    ("  of which call_soon_threadsafe's self-pipe send", "sock_send"),
    ("worker: InterpreterLock (take the GIL)", "tyvo::py::InterpreterLock::InterpreterLock"),
    ("loop: ensure_future_call (make the Task)", "ensure_future_call"),
    ("loop: task_completer_call (send the outcome)", "task_completer_call"),
    ("loop: the handler's own Task step", "task_step"),
    ("loop: drain the self-pipe (sock_recv)", "sock_recv"),
    ("any: waiting for the GIL (take_gil)", "take_gil"),
    ("any: handing the GIL over (drop_gil)", "drop_gil"),
    ("any: kernel futex (wake-ups, waits)", "do_futex"),
    ("timer thread", "TimerQueue::run"),
]


def stacks(path):
    """Yields (thread id, frames leaf first) per sample of `perf script` (default fields)."""
    thread, frames = None, []
    with open(path, errors="replace") as lines:
        for line in lines:
            if not line.strip():
                if frames:
                    yield thread, frames
                thread, frames = None, []
            elif not line[0].isspace():
                match = re.match(r"\s*\S+\s+(\d+)(?:/(\d+))?", line)
                thread = match and (match.group(2) or match.group(1))
            else:
                parts = line.split(None, 1)
                if len(parts) == 2:
                    frames.append(parts[1].rsplit(" (", 1)[0])
    if frames:
        yield thread, frames


def cpu(path):
    samples = list(stacks(path))
    total = len(samples)
    threads = collections.Counter(thread for thread, _ in samples)
    print("%d samples; share per thread: %s" % (total, ", ".join(
        "%s %.0f%%" % (thread, 100 * count / total) for thread, count in threads.most_common())))
    for label, needle in HOT:
        hits = sum(1 for _, frames in samples if any(needle in frame for frame in frames))
        print("%6.1f%%  %s" % (100 * hits / total, label))


def pipeline(path, bucket=0.02):
    events = collections.defaultdict(collections.Counter)
    first = None
    with open(path) as lines:
        for line in lines:
            fields = line.split()
            when, name = float(fields[1].rstrip(":")), fields[2].split(":")[1]
            first = when if first is None else min(first, when)
            events[name][when] += 1
    order = [name for name in ("completer", "resume", "sleep", "fire", "handover", "task") if name in events]
    table = {name: collections.Counter() for name in order}
    for name in order:
        for when, count in events[name].items():
            table[name][int((when - first) / bucket)] += count
    print("ms from first event  " + "".join("%10s" % name for name in order))
    for index in range(max(max(counter) for counter in table.values()) + 1):
        row = [table[name][index] for name in order]
        if any(row):
            print("%19d  " % (index * bucket * 1000) + "".join("%10d" % value for value in row))


def massif(path, jobs):
    """Top-level allocation sites of massif's peak snapshot (lines indented by one space)."""
    jobs = int(jobs)
    snapshot, peak = [], None
    with open(path) as lines:
        for line in lines:
            if line.startswith("snapshot="):
                snapshot = []
            elif line.startswith("heap_tree=peak"):
                peak = snapshot
            elif line.startswith(" n") and not line.startswith("  "):
                snapshot.append(line)
    total = 0
    for line in peak or []:
        size, site = line.split(None, 2)[1:]
        total += int(size)
        site = re.sub(r"\(in /[^)]*\)|0x[0-9A-F]+: ", "", site).strip()
        print("%6.0f B/job  %s" % (int(size) / jobs, site[:150]))
    print("%6.0f B/job  in all (Python and native, malloc'd bytes, no allocator overhead)" % (total / jobs))


def gil_probes(library):
    """Probe specs for CPython 3.11's lock, found by disassembly (the library has symbols and line
    tables; the interesting spots are inlined, so they have no names of their own):
      take / taken  take_gil entry and return: one acquisition, its wait the time between
      wait          take_gil's call of pthread_cond_timedwait: the lock was held, this thread sleeps
                    (at most the 5 ms switch interval per call)
      request       the inlined SET_GIL_DROP_REQUEST in take_gil: a wait timed out, so this thread
                    asks the holder to give the lock up
      drop          drop_gil entry: every release
      forced        the call of drop_gil in eval_frame_handle_pending (inlined in the eval loop): a
                    release because another thread asked. Every other release comes from
                    PyEval_SaveThread (Py_BEGIN_ALLOW_THREADS, e.g. around epoll_wait, and
                    PyGILState_Release), i.e. a voluntary one."""
    symbols = {}
    for line in subprocess.run(["nm", library], capture_output=True, text=True, check=True).stdout.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2] in ("take_gil", "drop_gil"):
            symbols[parts[2]] = int(parts[0], 16)
    listing = subprocess.run(["objdump", "-d", "-l", "--inlines", "--no-show-raw-insn", library],
                             capture_output=True, text=True, check=True).stdout.splitlines()
    current, inline, wait, request, forced = None, None, None, None, None
    instruction = re.compile(r"^\s+([0-9a-f]+):\s+(.*)$")
    for line in listing:
        header = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if header:
            current, inline = header.group(1), None
            continue
        if re.match(r"^[A-Za-z_]\w*\(\):$", line):
            inline = line[:-3]
            continue
        match = instruction.match(line)
        if not match:
            continue
        address, text = int(match.group(1), 16), match.group(2)
        if current == "take_gil" and wait is None and "<pthread_cond_timedwait" in text:
            wait = address
        if current == "take_gil" and request is None and inline == "SET_GIL_DROP_REQUEST":
            request = address
        if current == "_PyEval_EvalFrameDefault" and forced is None and re.search(r"call\s+[0-9a-f]+ <drop_gil>", text):
            if inline == "eval_frame_handle_pending":
                forced = address
    found = {"take": symbols.get("take_gil"), "taken": symbols.get("take_gil"), "wait": wait,
             "request": request, "drop": symbols.get("drop_gil"), "forced": forced}
    for name, address in found.items():
        if address is None:
            sys.exit("no '%s' probe point in %s (this summary knows CPython 3.11's lock)" % (name, library))
        print("tyvo_gil:%s=0x%x%s" % (name, address, "%return" if name == "taken" else ""))


def gil(path, gap=0.3):
    """Per burst (contention events closer than `gap` seconds), for the loop thread (the process's
    main thread) and the other threads together: waits for the lock, their total and spread,
    releases forced by another thread's request and voluntary ones, and requests made."""
    threads = {}
    bursts = []
    with open(path) as lines:
        for line in lines:
            fields = line.split()
            if len(fields) < 3 or "/" not in fields[0]:
                continue
            pid, tid = fields[0].split("/")  # -F pid,tid,time,event: "PID/TID TIME: GROUP:NAME:"
            when = float(fields[1].rstrip(":"))
            name = fields[2].rstrip(":").split(":")[1].replace("__return", "")
            role = "loop" if pid == tid else "workers"
            state = threads.setdefault(tid, {"role": role, "entered": None, "waited": False})
            if name == "take":
                state["entered"], state["waited"] = when, False
                state["takes"] = state.get("takes", 0) + 1
                continue
            if name == "taken":
                if state["entered"] is not None and state["waited"]:
                    burst = current_burst(bursts, when, gap)
                    burst[role]["waits"].append(when - state["entered"])
                state["entered"] = None
                continue
            if name == "wait":
                state["waited"] = True
                current_burst(bursts, when, gap)
                continue
            if name in ("request", "forced"):
                current_burst(bursts, when, gap)[role][name] += 1
            elif bursts and when - bursts[-1]["end"] <= gap:  # a release: counted only near contention
                bursts[-1][role][name] += 1
    roles = ("loop", "workers")
    takes = collections.Counter()
    for state in threads.values():
        takes[state["role"]] += state.get("takes", 0)
    print("threads seen: loop 1, others %d; lock acquisitions: loop %d, others %d; a burst is contention "
          "events less than %d ms apart%s" % (sum(1 for state in threads.values() if state["role"] == "workers"),
                                              takes["loop"], takes["workers"], gap * 1000,
                                              "" if bursts else "; no thread ever waited for the lock"))
    print("%5s %8s %7s | %-60s | %-60s" % ("", "", "", "loop thread (main)", "other threads (workers)"))
    columns = "%6s %8s %7s %7s %7s %6s %6s %6s" % ("waits", "total ms", "p50 us", "p99 us", "max us", "forced",
                                                 "volunt", "asked")
    print("%5s %8s %7s | %s | %s" % ("burst", "start ms", "span ms", columns, columns))
    first = bursts[0]["start"] if bursts else 0
    later = {"start": first, "end": first, "loop": {}, "workers": {}}
    for index, burst in enumerate(bursts):
        print("%5d %8.0f %7.0f | %s | %s" % (index + 1, (burst["start"] - first) * 1e3,
                                            (burst["end"] - burst["start"]) * 1e3,
                                            gil_cells(burst["loop"]), gil_cells(burst["workers"])))
        if index:
            for role in roles:
                for key, value in burst[role].items():
                    later[role][key] = later[role].get(key, 0 if key != "waits" else []) + value
    if len(bursts) > 1:
        print("%5s %8s %7s | %s | %s" % ("2..%d" % len(bursts), "", "", gil_cells(later["loop"]),
                                         gil_cells(later["workers"])))
        print("(the last row sums the bursts after the first, which also carries start-up)")
    print("waits: acquisitions that found the lock held and slept on it; total/p50/p99/max: how long those took "
          "(probe overhead included); forced: releases because another thread asked (eval breaker's "
          "drop_gil); volunt: every other release (Py_BEGIN_ALLOW_THREADS, PyGILState_Release) near contention; "
          "asked: 5 ms switch-interval timeouts after which this side asked the holder to let go")


def gil_cells(counts):
    waits = sorted(counts["waits"])
    pick = lambda fraction: waits[max(0, math.ceil(len(waits) * fraction) - 1)] * 1e6 if waits else 0
    return "%6d %8.1f %7.0f %7.0f %7.0f %6d %6d %6d" % (
        len(waits), sum(waits) * 1e3, pick(0.5), pick(0.99), pick(1.0), counts["forced"],
        counts["drop"] - counts["forced"], counts["request"])


def current_burst(bursts, when, gap):
    if not bursts or when - bursts[-1]["end"] > gap:
        empty = lambda: {"waits": [], "request": 0, "forced": 0, "drop": 0}
        bursts.append({"start": when, "end": when, "loop": empty(), "workers": empty()})
    bursts[-1]["end"] = max(bursts[-1]["end"], when)
    return bursts[-1]


if __name__ == "__main__":
    {"cpu": cpu, "pipeline": pipeline, "massif": massif, "gil-probes": gil_probes,
     "gil": gil}[sys.argv[1]](*sys.argv[2:])
