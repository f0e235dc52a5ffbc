"""CPU per run: 100 jobs at the smallest practical interval, with a do-nothing handler.

After a warm-up, counts the runs and the process CPU time (every thread) over a fixed window.

    python cpu_per_run.py CONTESTANT INTERVAL_MS [--jobs 100] [--warmup 1] [--seconds 3] [--loop asyncio|uvloop]

prints one JSON line: runs per second, CPU milliseconds per 1,000 runs, CPU use in percent.
"""

import argparse
import asyncio
import time

import contestants
from measure import add_loop_option, cpu_seconds, emit, loop_name, run


async def measure(name, interval_ms, jobs, warmup, seconds):
    if name == "apscheduler":
        contestant = contestants.make(name, interval_ms / 1000, record_fire_times=False, coalesce=True)
    else:
        contestant = contestants.make(name, interval_ms / 1000)
    runs = 0

    async def work(index):
        nonlocal runs
        runs += 1

    await contestant.add(jobs, work)
    await contestant.start()
    await asyncio.sleep(warmup)
    runs_before, cpu_before, wall_before = runs, cpu_seconds(), time.monotonic()
    await asyncio.sleep(seconds)
    runs_after, cpu_after, wall_after = runs, cpu_seconds(), time.monotonic()
    await contestant.stop()

    measured_runs = runs_after - runs_before
    cpu_used = cpu_after - cpu_before
    wall = wall_after - wall_before
    return {
        "workload": "cpu_per_run",
        "contestant": name,
        "loop": loop_name(),
        "interval_ms": interval_ms,
        "jobs": jobs,
        "runs": measured_runs,
        "runs_per_s": round(measured_runs / wall, 1),
        "cpu_ms_per_1000_runs": round(cpu_used * 1e6 / measured_runs, 3) if measured_runs else None,
        "cpu_percent": round(100 * cpu_used / wall, 1),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("contestant", choices=contestants.CONTESTANTS)
    parser.add_argument("interval_ms", type=float)
    parser.add_argument("--jobs", type=int, default=100)
    parser.add_argument("--warmup", type=float, default=1.0)
    parser.add_argument("--seconds", type=float, default=3.0)
    add_loop_option(parser)
    options = parser.parse_args()
    emit(run(measure(options.contestant, options.interval_ms, options.jobs, options.warmup, options.seconds),
             options.loop))


if __name__ == "__main__":
    main()
