"""Scale: N jobs on an hourly interval.

Measures, in one fresh process:
  schedule_s     registering every job (for tyvo: an asyncio.gather of the schedule awaitables;
                 for the plain loop: creating the tasks; for APScheduler: the add_job calls)
  first_runs_s   from start until every job's first run has happened
  rss_per_job    resident memory growth per job, from before registering to the end of the idle
                 window: every first run done and every job asleep (see memory.py for more on it)
  idle_cpu_pct   process CPU over an idle window (all first runs done, a settling second allowed)
  shutdown_s     from asking to stop until everything has stopped (tyvo: from `await shutdown()`
                 until start()'s future completes)

    python scale.py CONTESTANT JOBS [--idle 5] [--settle 1] [--timeout 120] [--loop asyncio|uvloop]
"""

import argparse
import asyncio
import time

import contestants
from measure import add_loop_option, cpu_seconds, emit, loop_name, rss_bytes, run

HOUR = 3600.0


async def measure(name, jobs, idle_seconds, settle_seconds, timeout):
    if name == "apscheduler":
        contestant = contestants.make(name, HOUR, record_fire_times=False)
    else:
        contestant = contestants.make(name, HOUR)
    first_runs = 0
    all_ran = asyncio.Event()

    async def work(index):
        nonlocal first_runs
        first_runs += 1
        if first_runs == jobs:
            all_ran.set()

    rss_before = rss_bytes()
    began = time.monotonic()
    await contestant.add(jobs, work)
    scheduled = time.monotonic()
    await contestant.start()
    try:
        await asyncio.wait_for(all_ran.wait(), timeout)
        first_runs_s = time.monotonic() - scheduled
    except asyncio.TimeoutError:
        first_runs_s = None

    await asyncio.sleep(settle_seconds)
    cpu_before, wall_before = cpu_seconds(), time.monotonic()
    await asyncio.sleep(idle_seconds)
    idle_cpu = cpu_seconds() - cpu_before
    idle_wall = time.monotonic() - wall_before
    rss_after = rss_bytes()

    stopping = time.monotonic()
    await contestant.stop()
    shutdown_s = time.monotonic() - stopping

    return {
        "workload": "scale",
        "contestant": name,
        "loop": loop_name(),
        "jobs": jobs,
        "schedule_s": round(scheduled - began, 4),
        "first_runs_s": None if first_runs_s is None else round(first_runs_s, 4),
        "first_runs_done": first_runs,
        "rss_per_job_bytes": round((rss_after - rss_before) / jobs, 1),
        "idle_cpu_pct": round(100 * idle_cpu / idle_wall, 3),
        "idle_cpu_ms": round(idle_cpu * 1000, 2),
        "shutdown_s": round(shutdown_s, 4),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("contestant", choices=contestants.CONTESTANTS)
    parser.add_argument("jobs", type=int)
    parser.add_argument("--idle", type=float, default=5.0)
    parser.add_argument("--settle", type=float, default=1.0)
    parser.add_argument("--timeout", type=float, default=120.0)
    add_loop_option(parser)
    options = parser.parse_args()
    emit(run(measure(options.contestant, options.jobs, options.idle, options.settle, options.timeout), options.loop))


if __name__ == "__main__":
    main()
