"""tyvo_observe used the way a service would, checked by mypy --strict and, when run, at run time."""

import asyncio
import datetime
import logging
from datetime import timedelta
from typing import assert_type

from prometheus_client import CollectorRegistry

import tyvo
import tyvo_observe


def describe(event: tyvo_observe.RunEvent) -> str:
    assert_type(event.job_id, str)
    assert_type(event.due, datetime.datetime | None)
    assert_type(event.lateness, float | None)
    assert_type(event.exception, BaseException | None)
    if event.kind == "run" and event.outcome == "raised":
        return f"{event.job_id} failed: {event.exception!r}"
    return f"{event.kind} {event.job_id}"


async def main() -> None:
    seen: list[str] = []
    registry = CollectorRegistry()
    metrics = tyvo_observe.prometheus(registry)
    spans = tyvo_observe.opentelemetry()
    failures = tyvo_observe.log_failures(logging.getLogger("app.jobs"))

    async def work() -> None:
        await asyncio.sleep(0)

    scheduler = tyvo.Scheduler()
    await scheduler.schedule(work, tyvo.Trigger.Interval(timedelta(seconds=0.05)), id="work")
    with tyvo_observe.subscribe(lambda event: seen.append(describe(event))) as subscription:
        assert_type(subscription, tyvo_observe.Subscription)
        runner = asyncio.ensure_future(scheduler.start())
        while len(seen) < 2:
            await asyncio.sleep(0.02)
        states = tyvo_observe.jobs(scheduler)
        assert_type(states, list[tyvo_observe.JobState])
        assert_type(states[0].next_fire, datetime.datetime | None)
        assert states[0].job_id == "work" and states[0].active
        await scheduler.shutdown()
        await runner
    assert_type(await tyvo_observe.drain(5.0), int)
    pings = tyvo_observe.healthchecks("http://127.0.0.1:9/ping-key", timeout=1.0, start_after=60.0)
    assert_type(pings, tyvo_observe.HealthchecksSubscription)
    pings.close()
    await pings.flush()
    check_ins = tyvo_observe.sentry_crons(checkin_margin=5, max_runtime=30, slug=lambda job_id: "app-" + job_id)
    assert_type(check_ins, tyvo_observe.Subscription)
    check_ins.close()
    for held in (metrics, spans, failures):
        held.close()
    assert subscription.closed and seen[0] == "run work", seen


if __name__ == "__main__":
    asyncio.run(main())
