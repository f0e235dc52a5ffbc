"""Misuses that tyvo's stub must make mypy reject: each marked line must be reported with the
error code named in its marker, and nothing else may be reported."""

import datetime

import tyvo


async def handler() -> None:
    pass


def not_async() -> None:
    pass


every_second = tyvo.Trigger.Interval(datetime.timedelta(seconds=1))


def triggers() -> None:
    tyvo.Trigger.Cron(5)  # expect: arg-type
    tyvo.Trigger.Interval(5)  # expect: arg-type
    tyvo.Trigger.Interval(datetime.timedelta(1)).expr  # expect: attr-defined
    tyvo.Trigger.Cron("* * * * *").duration  # expect: attr-defined
    tyvo.Trigger.Cron("* * * * *").expr = "0 0 * * *"  # expect: misc
    tyvo.__version__ + 1  # expect: operator


def the_base_cannot_be_built() -> None:
    tyvo.Trigger()  # expect: call-arg
    tyvo.Trigger("* * * * *")  # expect: arg-type
    # Mistakes after a refused construction are still reported, not hidden as unreachable code.
    tyvo.Trigger.Cron(5)  # expect: arg-type
    tyvo.Scheduler().pause(3)  # expect: arg-type


class OwnCron(tyvo.Trigger.Cron):  # expect: misc
    pass


class OwnScheduler(tyvo.Scheduler):  # expect: misc
    pass


def matching(trigger: tyvo.Trigger) -> None:
    match trigger:
        case tyvo.Trigger.Cron(expr, extra):  # expect: misc
            pass  # expect: unreachable


async def scheduling(scheduler: tyvo.Scheduler) -> None:
    tyvo.Scheduler(1)  # expect: call-arg
    scheduler.schedule(not_async, every_second)  # expect: arg-type
    scheduler.schedule(handler, "* * * * *")  # expect: arg-type
    scheduler.schedule(handler, every_second, args=[1])  # expect: arg-type
    scheduler.schedule(handler, every_second, kwargs={1: 2})  # expect: dict-item
    scheduler.schedule(handler, every_second, id=7)  # expect: arg-type
    number: int = await scheduler.schedule(handler, every_second)  # expect: assignment
    nothing: None = await scheduler.start()  # expect: assignment
    scheduler.pause(3)  # expect: arg-type
    scheduler.resume()  # expect: call-arg
    scheduler.stop()  # expect: attr-defined
