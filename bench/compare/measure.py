"""Small measuring helpers shared by the workloads: memory, CPU, percentiles, result output."""

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
