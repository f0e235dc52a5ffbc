"""Fire times that pass without a run on this replica: each is logged (rate-limited) with its
reason and handed to tyvo_observe from the run's own task; a store that lost its claims is never
trusted to vouch for a fire time from before; a cron rhythm without trigger= is pointed out."""

import asyncio
import logging
import sys
import types
from datetime import datetime, timedelta, timezone

import pytest

import tyvo
import tyvo_replicas
from conftest import claims_for, wait_until_vouched
from tyvo_replicas import _report

EVERY_SECOND = tyvo.Trigger.Cron("* * * * * *")
EVERY_FIVE = tyvo.Trigger.Cron("*/5 * * * * *")


@pytest.fixture
def reported(monkeypatch):
    """What once() hands to tyvo_observe, through a stand-in for its module."""
    events = []
    stand_in = types.ModuleType("tyvo_observe._replica_events")

    def skipped(due, reason):
        events.append((due, reason, asyncio.current_task()))

    stand_in.skipped = skipped
    monkeypatch.setitem(sys.modules, "tyvo_observe._replica_events", stand_in)
    monkeypatch.setattr(_report, "_hook", None)
    monkeypatch.setattr(_report, "_last_logged", {})
    yield events
    _report._hook = None


def warnings(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "tyvo.replicas" and r.levelno >= logging.WARNING]


async def just_after_a_second(offset=0.05):
    await asyncio.sleep(1 - datetime.now(timezone.utc).microsecond / 1e6 + offset)


def test_a_fire_time_still_held_by_the_previous_run_is_a_logged_and_reported_miss(server, key, caplog, reported):
    caplog.set_level(logging.INFO, logger="tyvo.replicas")

    async def scenario():
        async with claims_for(server) as claims, claims_for(server) as other_replica:
            async def handler(seconds):
                await asyncio.sleep(seconds)

            here = tyvo_replicas.once(handler, claims, key=key, hold=timedelta(seconds=5), trigger=EVERY_SECOND)
            there = tyvo_replicas.once(handler, other_replica, key=key, hold=timedelta(seconds=5), trigger=EVERY_SECOND)
            await just_after_a_second()
            long_run = asyncio.ensure_future(here(2.6))
            await asyncio.sleep(0.1)
            calls = {}

            async def call(name, wrapped):
                calls[name] = asyncio.current_task()
                return await wrapped(0)

            # The same fire time elsewhere: taken, not a miss.
            assert await call("same", there) is None
            await just_after_a_second()
            # The next one, while the first run goes on: a miss, and said so.
            assert await call("next", there) is None
            await just_after_a_second()
            assert await call("again", there) is None  # rate-limited: not logged a second time
            await long_run
            return calls

    calls = asyncio.run(scenario())
    reasons = [(reason, task) for _, reason, task in reported]
    assert reasons == [("claimed_elsewhere", calls["same"]), ("held_by_previous_run", calls["next"]),
                       ("held_by_previous_run", calls["again"])]
    dues = [due for due, _, _ in reported]
    assert dues[1] == dues[0] + timedelta(seconds=1) and dues[1].tzinfo is not None
    missed = [m for m in warnings(caplog) if "previous run still holds" in m]
    assert len(missed) == 1 and key in missed[0], warnings(caplog)


def test_a_store_that_lost_its_claims_does_not_vouch_for_fire_times_before(server, key, caplog, reported):
    """Redis restarted without persistence; PostgreSQL restarted after a crash that lost the
    last commits (here: the claim's row, deleted as the crash would have lost it)."""
    caplog.set_level(logging.WARNING, logger="tyvo.replicas")
    runs = []

    async def handler():
        runs.append(tyvo_replicas.current_claim().fire_time)

    async def first_run():
        async with claims_for(server) as claims:
            guarded = tyvo_replicas.once(handler, claims, key=key, hold=timedelta(seconds=5), trigger=EVERY_FIVE)
            while datetime.now(timezone.utc).timestamp() % 5 > 0.5:
                await asyncio.sleep(0.05)
            await guarded()

    async def forget_the_claim():
        import asyncpg
        connection = await asyncpg.connect(server.url)
        await connection.execute("DELETE FROM tyvo_claims WHERE key = $1", key)
        await connection.close()

    async def catch_up():
        async with claims_for(server) as claims:
            guarded = tyvo_replicas.once(handler, claims, key=key, hold=timedelta(seconds=5), trigger=EVERY_FIVE,
                                         catch_up=timedelta(minutes=5))
            return await guarded()

    asyncio.run(first_run())
    assert len(runs) == 1
    while datetime.now(timezone.utc) - runs[0] < timedelta(seconds=1.5):
        asyncio.run(asyncio.sleep(0.1))  # the next call is a catch-up of the same fire time
    server.stop()
    server.start()
    if server.kind == "postgres":
        asyncio.run(forget_the_claim())
    assert datetime.now(timezone.utc) - runs[0] < timedelta(seconds=5), "too slow a restart for this test"
    asyncio.run(catch_up())
    assert len(runs) == 1, runs
    assert reported[-1][:2] == (runs[0], "outside_catch_up")
    assert any("cannot tell whether this fire time has run" in m for m in warnings(caplog)), warnings(caplog)
    wait_until_vouched(server)


def test_a_cron_rhythm_without_trigger_is_pointed_out_once_per_key(server, key, caplog):
    caplog.set_level(logging.WARNING, logger="tyvo.replicas")

    async def handler():
        return None

    async def scenario():
        async with claims_for(server) as claims:
            scheduler = tyvo.Scheduler()
            bare = tyvo_replicas.once(handler, claims, key=key, hold=timedelta(milliseconds=500))
            told = tyvo_replicas.once(handler, claims, key=key + "-told", hold=timedelta(milliseconds=500),
                                      trigger=EVERY_SECOND)
            await scheduler.schedule(bare, EVERY_SECOND, id="bare")
            await scheduler.schedule(told, EVERY_SECOND, id="told")
            runner = asyncio.ensure_future(scheduler.start())
            # Three calls in a row near whole seconds: a loaded machine may take a while to make them.
            for _ in range(300):
                await asyncio.sleep(0.1)
                if any("fall on whole seconds" in m for m in warnings(caplog)):
                    break
            await asyncio.sleep(3)  # the told job's calls go on meanwhile: it must stay unmentioned
            await scheduler.shutdown()
            await runner
            # Calls in a tight loop are no cron rhythm, though some fall on whole seconds.
            looped = tyvo_replicas.once(handler, claims, key=key + "-looped", hold=timedelta(seconds=30))
            until = asyncio.get_running_loop().time() + 3.5
            while asyncio.get_running_loop().time() < until:
                await looped()

    asyncio.run(scenario())
    pointed = [m for m in warnings(caplog) if "fall on whole seconds" in m]
    assert len(pointed) == 1 and key in pointed[0] and f"{key}-told" not in pointed[0], warnings(caplog)


def test_fire_times_no_replica_called_are_said_by_the_one_that_runs_the_next(server, key, caplog, reported):
    caplog.set_level(logging.WARNING, logger="tyvo.replicas")

    async def scenario():
        async with claims_for(server) as claims:
            async def handler():
                return tyvo_replicas.current_claim().fire_time

            guarded = tyvo_replicas.once(handler, claims, key=key, hold=timedelta(seconds=5), trigger=EVERY_SECOND)
            await just_after_a_second()
            first = await guarded()
            # Nobody calls for three seconds (every replica down, or every loop stalled).
            await asyncio.sleep(3.0)
            await just_after_a_second()
            later = await guarded()
            return first, later

    first, later = asyncio.run(scenario())
    skipped = [due for due, reason, _ in reported if reason == "outside_catch_up"]
    expected = [first + timedelta(seconds=n) for n in range(1, int((later - first).total_seconds()))]
    assert len(expected) >= 3 and skipped == expected, (first, later, reported)
    said = [m for m in warnings(caplog) if "ran on no replica" in m]
    assert len(said) == 1 and f"({len(expected)})" in said[0], warnings(caplog)
