"""One replica for the multi-process tests: the same tyvo jobs as its siblings, each wrapped in
once(), every run recorded in a shared file. Stops cleanly on SIGTERM.

    python replica.py STORE URL RECORD JOBS_JSON

Each record line is JSON with the event ("start" or "end"), key, pid and times from time.time():
"fired" just before the once() wrapper was called, "at" when the event happened; a start also
has the run's fencing token and, for a job claimed per fire time, that fire time. Records are
appended under an exclusive flock, so the file's order is the order in which they happened."""

import asyncio
import contextvars
import faulthandler
import fcntl
import json
import logging
import os
import signal
import sys
import time
from datetime import timedelta

import tyvo
import tyvo_replicas

FIRED = contextvars.ContextVar("FIRED")


def record(path, **event):
    with open(path, "a") as shared:
        fcntl.flock(shared, fcntl.LOCK_EX)
        shared.write(json.dumps({**event, "pid": os.getpid(), "at": time.time()}) + "\n")


def job_runner(job, trigger, claims, path):
    async def body():
        claim = tyvo_replicas.current_claim()
        fire_time = claim.fire_time.timestamp() if claim.fire_time is not None else None
        record(path, event="start", key=job["key"], fired=FIRED.get(), fence=claim.fence, fire_time=fire_time)
        await asyncio.sleep(job["duration"])
        record(path, event="end", key=job["key"])

    guarded = tyvo_replicas.once(body, claims, key=job["key"], hold=timedelta(seconds=job["hold"]),
                                 trigger=trigger if job.get("per_fire_time") else None)

    async def fire():
        FIRED.set(time.time())
        await guarded()

    return fire


async def main(store, url, path, jobs):
    claims = tyvo_replicas.RedisClaims(url) if store == "redis" else tyvo_replicas.PostgresClaims(url)
    scheduler = tyvo.Scheduler()
    for job in jobs:
        trigger = (tyvo.Trigger.Cron(job["cron"]) if "cron" in job
                   else tyvo.Trigger.Interval(timedelta(seconds=job["interval"])))
        await scheduler.schedule(job_runner(job, trigger, claims, path), trigger, id=job["id"])
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    runner = asyncio.ensure_future(scheduler.start())
    print("ready", flush=True)
    await stop.wait()
    await scheduler.shutdown()
    await runner
    # Runs still going finish on the loop after shutdown; let them record their end.
    running = asyncio.all_tasks() - {asyncio.current_task()}
    if running:
        await asyncio.wait(running, timeout=15)
    await claims.aclose()


if __name__ == "__main__":
    faulthandler.register(signal.SIGUSR1)  # the tests ask for the stacks of a replica that seems stuck
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING,
                        format="%(process)d %(name)s %(levelname)s %(message)s")
    asyncio.run(main(sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])))
