"""PostgreSQL with another session holding a claim's row (SELECT ... FOR UPDATE): the other keys'
renewals go on, the locked key's renewal gives up by its own bound and says why, and a claim that
gave up leaves no statement waiting on the server."""

import asyncio
import logging
import time
from datetime import timedelta

import asyncpg
import pytest

import tyvo
import tyvo_replicas

HOLD = timedelta(seconds=1)


async def lock_row(url, table, key, seconds, locked):
    """Holds `key`'s row locked from a session of its own for `seconds`."""
    connection = await asyncpg.connect(url)
    try:
        async with connection.transaction():
            await connection.execute(f"SELECT * FROM {table} WHERE key = $1 FOR UPDATE", key)
            locked.set()
            await asyncio.sleep(seconds)
    finally:
        await connection.close()


def test_a_locked_row_costs_only_its_own_key_its_claim(postgres_server, key, caplog):
    caplog.set_level(logging.WARNING, logger="tyvo.replicas")
    table = "locks_" + key.replace("-", "_")
    slow, fast = key + "-slow", key + "-fast"
    seen = {}

    async def scenario():
        async with tyvo_replicas.PostgresClaims(postgres_server.url, table=table) as claims, \
                tyvo_replicas.PostgresClaims(postgres_server.url, table=table) as other_replica:
            started = asyncio.Event()

            async def long_run():
                started.set()
                await asyncio.sleep(4 * HOLD.total_seconds())
                return tyvo_replicas.current_claim()

            runs = [asyncio.ensure_future(tyvo_replicas.once(long_run, claims, key=k, hold=HOLD)()) for k in (slow, fast)]
            await asyncio.sleep(0.3)
            locked = asyncio.Event()
            locker = asyncio.ensure_future(lock_row(postgres_server.url, table, slow, 2.5 * HOLD.total_seconds(), locked))
            await locked.wait()
            # While `slow` is locked, `fast` keeps its claim: nobody else can take it.
            second_runs = 0
            while not locker.done():
                second_runs += await other_replica.claim(fast, "other", HOLD) is not None
                await asyncio.sleep(0.1)
            seen["second_runs"] = second_runs
            slow_claim, fast_claim = await asyncio.gather(*runs)
            seen["fast_held"], seen["slow_held"] = fast_claim.held(), slow_claim.held()

    asyncio.run(scenario())
    assert seen["second_runs"] == 0 and seen["fast_held"]
    assert not seen["slow_held"]
    errors = [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR]
    assert len(errors) == 1 and slow in errors[0] and fast not in errors[0], errors
    assert "did not answer in time" not in errors[0] and "lock" in errors[0], errors


def test_a_claim_that_gave_up_on_a_locked_row_leaves_no_backend_waiting(postgres_server, key):
    table = "locks_" + key.replace("-", "_")
    hold = timedelta(milliseconds=300)

    async def waiting_backends(connection):
        return await connection.fetchval(
            "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND query LIKE $1",
            f"%{table}%")

    async def scenario():
        async with tyvo_replicas.PostgresClaims(postgres_server.url, table=table, pool_size=5) as claims:
            assert await claims.claim(key, "first", timedelta(milliseconds=1)) is not None
            locked = asyncio.Event()
            locker = asyncio.ensure_future(lock_row(postgres_server.url, table, key, 8.0, locked))
            await locked.wait()
            guarded = tyvo_replicas.once(asyncio.sleep, claims, key=key, hold=hold)
            results = await asyncio.gather(*(guarded(0) for _ in range(10)), return_exceptions=True)
            assert all(isinstance(result, Exception) for result in results), results
            gave_up = time.monotonic()
            watcher = await asyncpg.connect(postgres_server.url)
            try:
                while await waiting_backends(watcher) and time.monotonic() - gave_up < 3.0:
                    await asyncio.sleep(0.1)
                left = await waiting_backends(watcher)
            finally:
                await watcher.close()
            assert not locker.done()  # the lock still stands: the statements ended on their own
            locker.cancel()
            return left

    assert asyncio.run(scenario()) == 0


def test_a_claim_that_waited_for_a_connection_is_held_for_its_hold_from_when_it_was_granted(postgres_server, key):
    """One connection: `first`'s claim waits on a locked row until the server gives it up, and
    `second`'s claim waits for the connection meanwhile. `second` wins and keeps its claim for a
    hold from when the store took it, even while its renewals cannot get through."""
    table = "locks_" + key.replace("-", "_")
    hold = timedelta(seconds=2)
    first, second = key + "-first", key + "-second"
    seen = {}

    async def scenario():
        async with tyvo_replicas.PostgresClaims(postgres_server.url, table=table, pool_size=1) as claims:
            assert await claims.claim(first, "warm-up", timedelta(milliseconds=1)) is not None
            assert await claims.claim(second, "warm-up", timedelta(milliseconds=1)) is not None
            first_locked, second_locked = asyncio.Event(), asyncio.Event()
            lockers = [asyncio.ensure_future(lock_row(postgres_server.url, table, first, 6.0, first_locked))]
            await first_locked.wait()

            async def handler():
                # Renewals of this claim wait on a lock from now on: only the claim itself counts.
                lockers.append(asyncio.ensure_future(lock_row(postgres_server.url, table, second, 3.0, second_locked)))
                await second_locked.wait()
                seen["run_began"] = time.monotonic()
                await asyncio.sleep(max(0.0, seen["asked"] + hold.total_seconds() + 0.3 - time.monotonic()))
                seen["checked"] = time.monotonic()
                return tyvo_replicas.current_claim().held()

            async def noop():
                return None

            blocked = asyncio.ensure_future(tyvo_replicas.once(noop, claims, key=first, hold=hold)())
            await asyncio.sleep(0.05)
            seen["asked"] = time.monotonic()
            held = await tyvo_replicas.once(handler, claims, key=second, hold=hold)()
            await asyncio.gather(blocked, return_exceptions=True)
            for locker in lockers:
                locker.cancel()
            await asyncio.gather(*lockers, return_exceptions=True)
            return held

    held = asyncio.run(scenario())
    # The claim was taken after the wait for the connection (the first gave up at its lock bound,
    # 0.5 s after it began, at least 0.45 s after `asked`), so a hold after the call began it
    # still stands. The look comes 0.3 s after a hold counted from `asked` would have lapsed.
    assert seen["run_began"] - seen["asked"] > 0.4, seen
    assert held is True, seen


def test_a_cut_back_goes_ahead_of_claims_waiting_for_a_connection(postgres_server, key):
    """Until a run's cut-back is done its key's next fire time cannot be taken anywhere, so it
    does not queue behind claims of other keys for the connection."""
    table = "locks_" + key.replace("-", "_")
    hold = timedelta(seconds=5)
    finished = []

    async def scenario():
        async with tyvo_replicas.PostgresClaims(postgres_server.url, table=table, pool_size=1) as claims:
            assert await claims.claim(key + "-busy", "warm-up", timedelta(milliseconds=1)) is not None
            while (await claims.decide(key + "-probe", "probe", timedelta(milliseconds=1))).store_now < (
                    (await claims.decide(key + "-probe", "probe", timedelta(milliseconds=1))).since + timedelta(seconds=2.5)):
                await asyncio.sleep(0.2)  # a new table vouches for fire times a second after it was made
            run_may_end = asyncio.Event()

            async def handler():
                await run_may_end.wait()

            def named(name, coroutine):
                task = asyncio.ensure_future(coroutine)
                task.add_done_callback(lambda _: finished.append(name))
                return task

            async def noop():
                return None

            # Per fire time: its claim is cut back at the end of every run.
            every_second = tyvo.Trigger.Cron("* * * * * *")
            run = named("cut-back", tyvo_replicas.once(handler, claims, key=key, hold=hold, trigger=every_second)())
            await asyncio.sleep(0.3)  # claimed; the run goes on
            locked = asyncio.Event()
            locker = asyncio.ensure_future(lock_row(postgres_server.url, table, key + "-busy", 0.5, locked))
            await locked.wait()
            busy = named("busy", tyvo_replicas.once(noop, claims, key=key + "-busy", hold=hold)())
            await asyncio.sleep(0.1)  # the one connection waits on the lock
            waiting = [named(f"claim-{n}", tyvo_replicas.once(noop, claims, key=f"{key}-{n}", hold=hold)())
                       for n in range(3)]
            await asyncio.sleep(0.1)
            run_may_end.set()  # its cut-back now waits for the connection too
            results = await asyncio.gather(run, busy, *waiting, locker, return_exceptions=True)
            assert not [r for r in results if isinstance(r, BaseException)], results

    asyncio.run(scenario())
    assert finished[:2] == ["busy", "cut-back"], finished


def test_a_table_that_cannot_be_prepared_in_time_is_a_timeout_and_is_tried_again(postgres_server, key):
    """Another session holds the claims table locked while a replica starts: the first call's
    server-side bound gives the read up, which the caller sees as a timeout like any other store
    timeout (not the driver's own error), and the next call, with the lock gone, prepares it."""
    table = "prepare_" + key.replace("-", "_")

    async def handler():
        return "ran"

    async def scenario():
        async with tyvo_replicas.PostgresClaims(postgres_server.url, table=table) as claims:
            assert await tyvo_replicas.once(handler, claims, key=key + "-first", hold=timedelta(seconds=1))() == "ran"
        blocker = await asyncpg.connect(postgres_server.url)
        try:
            locked = blocker.transaction()
            await locked.start()
            await blocker.execute(f'LOCK TABLE "{table}" IN ACCESS EXCLUSIVE MODE')
            async with tyvo_replicas.PostgresClaims(postgres_server.url, table=table) as claims:
                run = tyvo_replicas.once(handler, claims, key=key, hold=timedelta(seconds=1))
                with pytest.raises(TimeoutError, match="did not prepare the table"):
                    await run()
                await locked.rollback()
                return await run()
        finally:
            await blocker.close()

    assert asyncio.run(scenario()) == "ran"


def test_replicas_starting_together_on_a_missing_table_all_prepare_it_without_waiting_in_turn(postgres_server, key):
    """Twenty stores create the same missing table at once: the one creation that loses the race
    is no error, every store claims, and the table has one row saying since when it vouches."""
    table = "together_" + key.replace("-", "_")

    async def scenario():
        stores = [tyvo_replicas.PostgresClaims(postgres_server.url, table=table, pool_size=1) for _ in range(20)]
        try:
            decisions = await asyncio.gather(*(store.decide(f"{key}-{n}", "token", timedelta(seconds=5))
                                               for n, store in enumerate(stores)))
        finally:
            await asyncio.gather(*(store.aclose() for store in stores))
        assert all(decision.fence is not None for decision in decisions), decisions
        connection = await asyncpg.connect(postgres_server.url)
        try:
            return await connection.fetchval(f"SELECT count(*) FROM \"{table}\" WHERE key = ''")
        finally:
            await connection.close()

    assert asyncio.run(scenario()) == 1
