"""Summaries of `perf script` output for the profile_tyvo.sh modes.

    python perf_summary.py cpu FILE        inclusive share of the bridge's hot functions, per thread
    python perf_summary.py pipeline FILE   when each step of a run happens, per 20 ms, from uprobes
    python perf_summary.py massif FILE JOBS  the heap's peak snapshot by allocation site, per job

Plain text in, plain text out: no perf Python bindings needed.
"""

import collections
import re
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


if __name__ == "__main__":
    {"cpu": cpu, "pipeline": pipeline, "massif": massif}[sys.argv[1]](*sys.argv[2:])
