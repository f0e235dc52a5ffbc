"""Small measuring helpers shared by the workloads: memory, CPU, percentiles, result output."""

import asyncio
import json
import math
import os
import sys
import time

_PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    """Resident set size of this process right now (not the peak, which never shrinks)."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * _PAGE_SIZE


def cpu_seconds():
    """CPU time of the whole process, every thread included (tyvo's workers run outside Python)."""
    return time.process_time()


def percentile(sorted_values, fraction):
    """Nearest-rank percentile of an already sorted list; None for an empty one."""
    if not sorted_values:
        return None
    rank = max(1, math.ceil(len(sorted_values) * fraction))
    return sorted_values[rank - 1]


def emit(result):
    """The parent reads the last line of stdout, so keep it one JSON object."""
    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()


LOOPS = ("asyncio", "uvloop")


def add_loop_option(parser):
    parser.add_argument("--loop", choices=LOOPS, default="asyncio", help="event loop to run on (default: asyncio's)")


def run(coroutine, loop):
    """Runs the coroutine to completion on a fresh loop of the given kind, the way asyncio.run
    does. asyncio.Runner takes a loop factory from 3.11 on; uvloop's policy is deprecated from 3.12."""
    factory = None
    if loop == "uvloop":
        import uvloop

        factory = uvloop.new_event_loop
    with asyncio.Runner(loop_factory=factory) as runner:
        return runner.run(coroutine)


def loop_name():
    """What the workload actually ran on, so the report can check it: "asyncio" or "uvloop"."""
    return type(asyncio.get_running_loop()).__module__.split(".")[0]
