"""tyvo's worker threads: none before the first start(), then one per CPU the process may use."""

import os

import pytest

from conftest import run_python

COUNT_THREADS = """
import asyncio, os, sys, tyvo
from datetime import timedelta
{restrict}
def threads(): return len(os.listdir("/proc/self/task"))
async def job(): pass
async def main():
    before = threads()
    s = tyvo.Scheduler()
    await s.schedule(job, tyvo.Trigger.Interval(timedelta(seconds=5)))
    scheduled = threads()
    runner = asyncio.ensure_future(s.start())
    await asyncio.sleep(0.5)
    print(before, scheduled, threads())
    await s.shutdown()
    await runner
asyncio.run(main())
"""


def thread_counts(restrict=""):
    result = run_python(COUNT_THREADS.format(restrict=restrict), timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    return [int(count) for count in result.stdout.split()]


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two usable CPUs")
def test_workers_start_with_start_and_follow_the_affinity_mask():
    before, scheduled, started = thread_counts()
    assert scheduled == before, "schedule() alone started threads"
    one_cpu = "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})"
    _, _, started_on_one_cpu = thread_counts(one_cpu)
    # Only the number of workers differs between the two: one per usable CPU.
    assert started - started_on_one_cpu == len(os.sched_getaffinity(0)) - 1, (started, started_on_one_cpu)
