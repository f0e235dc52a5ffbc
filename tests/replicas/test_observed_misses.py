"""Through tyvo_observe, end to end: two schedulers that share a key through a real store see
every fire time run once, and the one that did not run it is told why, as an event of its own job."""

import asyncio
from datetime import timedelta

import tyvo
import tyvo_observe
import tyvo_replicas
from conftest import claims_for, wait_until_vouched

EVERY_SECOND = tyvo.Trigger.Cron("* * * * * *")


def test_a_fire_time_claimed_elsewhere_reaches_subscribers_as_a_skip_of_the_losing_job(server, key):
    wait_until_vouched(server)
    events = []

    async def scenario():
        async with claims_for(server) as claims_a, claims_for(server) as claims_b:
            async def work():
                await asyncio.sleep(0.05)

            schedulers = []
            for name, claims in (("a", claims_a), ("b", claims_b)):
                scheduler = tyvo.Scheduler()
                once = tyvo_replicas.once(work, claims, key=key, hold=timedelta(seconds=5), trigger=EVERY_SECOND)
                await scheduler.schedule(once, EVERY_SECOND, id=name)
                schedulers.append(scheduler)
            with tyvo_observe.subscribe(events.append):
                runners = [asyncio.ensure_future(scheduler.start()) for scheduler in schedulers]
                await asyncio.sleep(4.5)
                for scheduler in schedulers:
                    await scheduler.shutdown()
                await asyncio.gather(*runners)
                assert await tyvo_observe.drain(5) == 0

    asyncio.run(scenario())
    skips = [event for event in events if event.kind == "skipped" and event.reason == "claimed_elsewhere"]
    ran = [event for event in events if event.kind == "run" and event.reason is None and event.outcome == "returned"]
    assert skips, [(event.job_id, event.kind, event.reason) for event in events]
    for skip in skips:
        assert skip.job_id in ("a", "b") and skip.due is not None and skip.due.utcoffset() == timedelta(0)
    # Each fire time one of the two ran was reported as claimed elsewhere by the other, never by
    # the job that ran it.
    ran_by = {(event.due.replace(microsecond=0), event.job_id) for event in ran if event.due is not None}
    for skip in skips:
        assert (skip.due.replace(microsecond=0), skip.job_id) not in ran_by
