"""The three ways of running N periodic asyncio jobs that the workloads compare, behind one shape:

    contestant = make(name, interval_seconds)
    await contestant.add(count, handler)   # handler(index) is an async function; register jobs
    await contestant.start()               # jobs begin; each one's first run comes at once
    await contestant.stop()                # returns when every job has stopped

`clock` is the clock that the contestant's fire times live on, and `scheduled_start(index)`,
where not None, gives the fire time of the run that is starting now (fixed-rate schedulers).
Fixed-delay contestants (tyvo, the plain loop) return None: their next run is due one interval
after the previous run ended, which the workload records itself.
"""

import asyncio
import collections
import logging
import time
from datetime import datetime, timedelta, timezone

CONTESTANTS = ("tyvo", "asyncio", "apscheduler")


class Tyvo:
    clock = staticmethod(time.monotonic)

    def __init__(self, interval_seconds):
        import tyvo

        # Every job logs a WARN line when it stops; 100,000 of them would measure the log
        # handler, not the scheduler. Set before the first record, so tyvo drops them natively.
        logging.getLogger("tyvo").setLevel(logging.ERROR)
        self._tyvo = tyvo
        self._scheduler = tyvo.Scheduler()
        self._trigger = tyvo.Trigger.Interval(timedelta(seconds=interval_seconds))
        self._runner = None

    async def add(self, count, handler):
        schedule = self._scheduler.schedule
        await asyncio.gather(*[schedule(handler, self._trigger, args=(index,)) for index in range(count)])

    async def start(self):
        self._runner = asyncio.ensure_future(self._scheduler.start())

    async def stop(self):
        await self._scheduler.shutdown()
        await self._runner

    def scheduled_start(self, index):
        return None


class PlainLoop:
    """One asyncio task per job: `while True: await work(); await asyncio.sleep(interval)`."""

    clock = staticmethod(time.monotonic)

    def __init__(self, interval_seconds):
        self._interval = interval_seconds
        self._tasks = []

    async def add(self, count, handler):
        interval = self._interval

        async def repeat(index):
            while True:
                await handler(index)
                await asyncio.sleep(interval)

        create_task = asyncio.get_running_loop().create_task
        self._tasks = [create_task(repeat(index)) for index in range(count)]

    async def start(self):
        pass  # the tasks created by add() begin at the loop's next turn

    async def stop(self):
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    def scheduled_start(self, index):
        return None


class APScheduler:
    """APScheduler 3's AsyncIOScheduler with an IntervalTrigger; the first run is asked for at
    once (next_run_time=now), like the others'.

    Every fire time is run and none is dropped (misfire_grace_time=None, coalesce=False): the
    defaults would silently skip runs more than a second late, which hides lateness instead of
    measuring it. (Where runs are only counted, coalesce=True, its default, keeps one run per
    submission instead of a catch-up burst of many.) The fire time of each run comes from the scheduler's own submission event,
    which it dispatches before the job's task gets to run.
    """

    clock = staticmethod(time.time)

    def __init__(self, interval_seconds, record_fire_times=True, coalesce=False):
        from apscheduler.schedulers.asyncio import AsyncIOScheduler
        from apscheduler.triggers.interval import IntervalTrigger

        # Quiet: its executor logs every task that shutdown cancels at ERROR, with a traceback.
        logging.getLogger("apscheduler").setLevel(logging.CRITICAL)
        self._scheduler = AsyncIOScheduler(
            timezone=timezone.utc,
            job_defaults={"misfire_grace_time": None, "coalesce": coalesce, "max_instances": 1},
        )
        self._trigger = IntervalTrigger(seconds=interval_seconds, timezone=timezone.utc)
        self._fire_times = collections.defaultdict(collections.deque)
        if record_fire_times:
            from apscheduler.events import EVENT_JOB_SUBMITTED

            self._scheduler.add_listener(self._on_submitted, EVENT_JOB_SUBMITTED)

    def _on_submitted(self, event):
        self._fire_times[int(event.job_id)].extend(t.timestamp() for t in event.scheduled_run_times)

    async def add(self, count, handler):
        add_job = self._scheduler.add_job
        now = datetime.now(timezone.utc)
        for index in range(count):
            add_job(handler, self._trigger, args=(index,), id=str(index), next_run_time=now)

    async def start(self):
        self._scheduler.start()

    async def stop(self):
        from apscheduler.schedulers.base import STATE_STOPPED

        self._scheduler.shutdown(wait=False)
        while self._scheduler.state != STATE_STOPPED:  # it shuts down on the loop's next turn
            await asyncio.sleep(0)

    def scheduled_start(self, index):
        fire_times = self._fire_times[index]
        return fire_times.popleft() if fire_times else None


def make(name, interval_seconds, **options):
    if name == "tyvo":
        return Tyvo(interval_seconds)
    if name == "asyncio":
        return PlainLoop(interval_seconds)
    if name == "apscheduler":
        return APScheduler(interval_seconds, **options)
    raise ValueError("unknown contestant %r (choose from %s)" % (name, ", ".join(CONTESTANTS)))
