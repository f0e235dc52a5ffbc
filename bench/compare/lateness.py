"""Lateness: N jobs on a 1-second interval for about six seconds.

Lateness of a run = when the handler body starts minus when it should have started. For the
fixed-delay contestants (tyvo, the plain loop) a run is due one interval after the previous run
of the same job ended; for APScheduler it is due at its own fire time. The first run of each job
is left out: it only measures start-up.

    python lateness.py CONTESTANT JOBS [--seconds 6] [--interval 1] [--loop asyncio|uvloop]

prints one JSON line: lateness p50, p99 and max in milliseconds, runs measured, CPU seconds.
"""

import argparse
import asyncio

import contestants
from measure import add_loop_option, cpu_seconds, emit, loop_name, percentile, run


async def measure(name, jobs, seconds, interval):
    contestant = contestants.make(name, interval)
    clock = contestant.clock
    scheduled_start = contestant.scheduled_start
    last_end = [None] * jobs
    lateness = []
    missing_fire_times = 0

    async def work(index):
        nonlocal missing_fire_times
        started = clock()
        due = scheduled_start(index)
        if due is None:
            previous_end = last_end[index]
            due = None if previous_end is None else previous_end + interval
            first = previous_end is None
        else:
            first = last_end[index] is None
        if not first:
            if due is None:
                missing_fire_times += 1
            else:
                lateness.append(started - due)
        last_end[index] = clock()

    await contestant.add(jobs, work)
    cpu_before = cpu_seconds()
    await contestant.start()
    await asyncio.sleep(seconds)
    await contestant.stop()
    cpu_used = cpu_seconds() - cpu_before

    lateness.sort()
    as_ms = lambda value: None if value is None else round(value * 1000, 3)
    return {
        "workload": "lateness",
        "contestant": name,
        "loop": loop_name(),
        "jobs": jobs,
        "runs_measured": len(lateness),
        "jobs_never_run": sum(1 for end in last_end if end is None),
        "runs_without_fire_time": missing_fire_times,
        "p50_ms": as_ms(percentile(lateness, 0.50)),
        "p99_ms": as_ms(percentile(lateness, 0.99)),
        "max_ms": as_ms(lateness[-1] if lateness else None),
        "cpu_s": round(cpu_used, 3),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("contestant", choices=contestants.CONTESTANTS)
    parser.add_argument("jobs", type=int)
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--interval", type=float, default=1.0)
    add_loop_option(parser)
    options = parser.parse_args()
    emit(run(measure(options.contestant, options.jobs, options.seconds, options.interval), options.loop))


if __name__ == "__main__":
    main()
