"""Cron lateness: N jobs that run at every whole second of the wall clock, for about six seconds.

Lateness of a run = when the handler body starts (time.time()) minus the whole second it is due
at. tyvo runs the jobs with the pattern "* * * * * *"; the plain loop gives each job a task that
sleeps with asyncio.sleep until the next whole second of time.time() and runs the handler. The
first two runs of each job are left out: they only measure start-up (the first comes at once, and
the second, at the first whole second, may find the loop still busy with a burst of first runs,
depending on where in the second the start fell). A run due at second S that starts before S
counts as negative lateness (the plain loop can wake early; tyvo never does).

    python cron_lateness.py CONTESTANT JOBS [--seconds 6] [--loop asyncio|uvloop]

prints one JSON line: lateness p50, p99 and max in milliseconds, runs measured, early runs, CPU seconds.
"""

import argparse
import asyncio
import logging
import math
import time

from measure import add_loop_option, cpu_seconds, emit, loop_name, percentile, run

CONTESTANTS = ("tyvo", "asyncio")


class TyvoCron:
    def __init__(self):
        import tyvo

        logging.getLogger("tyvo").setLevel(logging.ERROR)  # no "Job ... is now shutdown" per job
        self._tyvo = tyvo
        self._scheduler = tyvo.Scheduler()
        self._runner = None

    async def add(self, count, handler):
        trigger = self._tyvo.Trigger.Cron("* * * * * *")
        schedule = self._scheduler.schedule
        await asyncio.gather(*[schedule(handler, trigger, args=(index,)) for index in range(count)])

    async def start(self):
        self._runner = asyncio.ensure_future(self._scheduler.start())

    async def stop(self):
        await self._scheduler.shutdown()
        await self._runner


class PlainLoopCron:
    """One asyncio task per job: run, then sleep until the next whole second of time.time()."""

    def __init__(self):
        self._tasks = []

    async def add(self, count, handler):
        async def repeat(index):
            await handler(index)
            while True:
                now = time.time()
                await asyncio.sleep(math.floor(now) + 1 - now)
                await handler(index)

        create_task = asyncio.get_running_loop().create_task
        self._tasks = [create_task(repeat(index)) for index in range(count)]

    async def start(self):
        pass

    async def stop(self):
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)


async def measure(name, jobs, seconds):
    contestant = TyvoCron() if name == "tyvo" else PlainLoopCron()
    runs = [0] * jobs
    lateness = []

    async def work(index):
        started = time.time()
        if runs[index] >= 2:
            lateness.append(started - round(started))  # the nearest whole second is the one due
        runs[index] += 1

    await contestant.add(jobs, work)
    cpu_before = cpu_seconds()
    await contestant.start()
    await asyncio.sleep(seconds)
    await contestant.stop()
    cpu_used = cpu_seconds() - cpu_before

    lateness.sort()
    as_ms = lambda value: None if value is None else round(value * 1000, 3)
    return {
        "workload": "cron_lateness",
        "contestant": name,
        "loop": loop_name(),
        "jobs": jobs,
        "runs_measured": len(lateness),
        "early_runs": sum(1 for value in lateness if value < 0),
        "p50_ms": as_ms(percentile(lateness, 0.50)),
        "p99_ms": as_ms(percentile(lateness, 0.99)),
        "max_ms": as_ms(lateness[-1] if lateness else None),
        "cpu_s": round(cpu_used, 3),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("contestant", choices=CONTESTANTS)
    parser.add_argument("jobs", type=int)
    parser.add_argument("--seconds", type=float, default=6.0)
    add_loop_option(parser)
    options = parser.parse_args()
    emit(run(measure(options.contestant, options.jobs, options.seconds), options.loop))


if __name__ == "__main__":
    main()
