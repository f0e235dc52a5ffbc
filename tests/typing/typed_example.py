"""Every public name of tyvo used the way an application would, with the types checked by mypy
(--strict) and, when run, the values checked against what the types promise."""

import asyncio
import datetime
from typing import assert_type

import tyvo


def describe(trigger: tyvo.Trigger) -> str:
    match trigger:
        case tyvo.Trigger.Cron(expr):
            assert_type(expr, str)
            return f"cron {expr}"
        case tyvo.Trigger.Interval(duration):
            assert_type(duration, datetime.timedelta)
            return f"every {duration.total_seconds():g} s"
    return "unknown"


async def tick(label: str, *, times: list[str]) -> None:
    times.append(label)


async def count() -> int:
    return 1


async def main() -> None:
    assert_type(tyvo.__version__, str)
    every_fifth = tyvo.Trigger.Cron("*/5 * * * * *")
    hourly = tyvo.Trigger.Interval(datetime.timedelta(hours=1))
    assert_type(every_fifth.expr, str)
    assert_type(hourly.duration, datetime.timedelta)
    assert describe(every_fifth) == "cron */5 * * * * *"
    assert describe(hourly) == "every 3600 s"

    scheduler = tyvo.Scheduler()
    times: list[str] = []
    first: asyncio.Future[str] = scheduler.schedule(tick, hourly, args=("hourly",), kwargs={"times": times})
    named = await scheduler.schedule(count, every_fifth, id="counter")
    assert_type(named, str)
    assert named == "counter" and (await first).startswith("job-")
    scheduler.pause("counter")
    scheduler.resume("counter")

    runner = asyncio.ensure_future(scheduler.start())
    while not times:
        await asyncio.sleep(0.01)
    stopped = await scheduler.shutdown()
    assert_type(stopped, tuple[()])
    assert stopped == () and await runner == ()
    assert times == ["hourly"]


if __name__ == "__main__":
    asyncio.run(main())
