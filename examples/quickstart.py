"""A tour of tyvo in about ten seconds: an interval job, a cron job on whole seconds, a pause and
a resume, a job whose failures show in the log, and a clean shutdown."""

import asyncio
import logging
import time
from datetime import timedelta

import tyvo

logging.basicConfig(format="%(asctime)s.%(msecs)03d %(name)-5s %(levelname)-7s %(message)s",
                    datefmt="%H:%M:%S", level=logging.INFO)
log = logging.getLogger("quickstart")


async def poll(source):
    log.info("polling %s", source)
    await asyncio.sleep(0.2)  # pretend to do some I/O


async def report():
    log.info("report at second %02d (UTC)", time.gmtime(time.time()).tm_sec)


async def flaky():
    raise ConnectionError("upstream unavailable")


async def main():
    scheduler = tyvo.Scheduler()
    await scheduler.schedule(poll, tyvo.Trigger.Interval(timedelta(seconds=2)), args=("inbox",))
    # Six fields: the first is seconds. Every third second, in UTC.
    await scheduler.schedule(report, tyvo.Trigger.Cron("*/3 * * * * *"), id="report")
    await scheduler.schedule(flaky, tyvo.Trigger.Interval(timedelta(seconds=4)), id="flaky")

    # start() returns a future that completes only after shutdown: run it alongside.
    runner = asyncio.ensure_future(scheduler.start())
    await asyncio.sleep(4)

    log.info("pausing the report")
    scheduler.pause("report")
    await asyncio.sleep(3)
    log.info("resuming the report (it runs again at its next fire time)")
    scheduler.resume("report")
    await asyncio.sleep(3)

    log.info("shutting down")
    await scheduler.shutdown()  # returns once the request is queued
    await runner                # returns once every job has stopped
    log.info("done")


if __name__ == "__main__":
    asyncio.run(main())
