"""once() in one process against each real store: what a call returns, how long its claim
stands, failures of the store and of the handler, cancellation, event loops, bad arguments."""

import asyncio
import inspect
import logging
import time
from datetime import timedelta

import pytest

import tyvo
import tyvo_replicas
from conftest import claims_for
from servers import free_port

HOLD = timedelta(milliseconds=300)


def run(coroutine):
    """asyncio.run, failing if anything was left to asyncio's exception handler (a task
    destroyed while pending, an exception never retrieved)."""
    reported = []

    async def watched():
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.append(context))
        return await coroutine

    result = asyncio.run(watched())
    assert not reported, reported
    return result


class Calls:
    """A handler that records its calls, optionally taking `seconds` or raising."""

    def __init__(self, seconds=0.0, error=None):
        self.seconds, self.error, self.args = seconds, error, []

    async def __call__(self, *args, **kwargs):
        self.args.append((args, kwargs))
        await asyncio.sleep(self.seconds)
        if self.error is not None:
            raise self.error
        return len(self.args)

    def handler(self):
        async def handler(*args, **kwargs):
            return await self(*args, **kwargs)
        return handler


def test_only_the_winner_runs_and_gets_the_result_and_tyvo_accepts_the_wrapper(server, key):
    calls = Calls(seconds=0.2)

    async def scenario():
        async with claims_for(server) as claims:
            guarded = tyvo_replicas.once(calls.handler(), claims, key=key, hold=timedelta(seconds=30))
            assert inspect.iscoroutinefunction(guarded)
            results = await asyncio.gather(guarded(1, to="a"), guarded(2), guarded(3))
            # One wins (which one is up to the connections) and gets its arguments through.
            assert sorted(results, key=str) == [1, None, None] and len(calls.args) == 1
            assert calls.args[0] == ((results.index(1) + 1,), {"to": "a"} if results[0] == 1 else {})
            # In a scheduler: fires every 50 ms, but the claim stands for 30 s.
            scheduler = tyvo.Scheduler()
            other = tyvo_replicas.once(calls.handler(), claims, key=key + "-tyvo", hold=timedelta(seconds=30))
            await scheduler.schedule(other, tyvo.Trigger.Interval(timedelta(milliseconds=50)), args=("job",))
            runner = asyncio.ensure_future(scheduler.start())
            await asyncio.sleep(1.0)
            await scheduler.shutdown()
            await runner
            assert calls.args[1:] == [(("job",), {})]

    run(scenario())


def test_claim_stands_for_hold_from_the_start_renewed_while_the_run_lasts(server, key):
    async def scenario():
        async with claims_for(server) as claims:
            short = Calls()
            guarded = tyvo_replicas.once(short.handler(), claims, key=key, hold=HOLD)
            began = time.monotonic()
            assert await guarded() == 1
            assert await guarded() is None  # finished, but within its hold
            await asyncio.sleep(HOLD.total_seconds() - (time.monotonic() - began) + 0.1)
            assert await guarded() == 2

            # A run of more than three holds keeps everyone out until it ends, and then its
            # claim, which renewal pushed past claim time + hold, is cut back at once.
            long = Calls(seconds=1.0)
            guarded = tyvo_replicas.once(long.handler(), claims, key=key + "-long", hold=HOLD)
            running = asyncio.ensure_future(guarded())
            for _ in range(4):
                await asyncio.sleep(0.2)
                assert await guarded() is None
            assert await running == 1
            assert await guarded() == 2

    run(scenario())


def test_keys_are_independent(server, key):
    async def scenario():
        async with claims_for(server) as claims:
            a, b = Calls(seconds=0.2), Calls(seconds=0.2)
            first = tyvo_replicas.once(a.handler(), claims, key=key + "-a", hold=HOLD)
            second = tyvo_replicas.once(b.handler(), claims, key=key + "-b", hold=HOLD)
            results = await asyncio.gather(first(), second(), first(), second())
            # Of the two calls per key exactly one wins (which one is up to the connections).
            assert sorted(results[0::2], key=str) == [1, None] == sorted(results[1::2], key=str)

    run(scenario())


def test_handler_exception_propagates_and_the_claim_still_stands(server, key):
    async def scenario():
        async with claims_for(server) as claims:
            guarded = tyvo_replicas.once(Calls(error=KeyError("boom")).handler(), claims, key=key, hold=timedelta(seconds=30))
            with pytest.raises(KeyError, match="boom"):
                await guarded()
            assert await guarded() is None

    run(scenario())


def test_cancelled_run_stops_renewing_and_leaves_no_task_behind(server, key):
    async def scenario():
        async with claims_for(server) as claims:
            calls = Calls(seconds=30)
            guarded = tyvo_replicas.once(calls.handler(), claims, key=key, hold=HOLD)
            running = asyncio.ensure_future(guarded())
            await asyncio.sleep(0.5)  # past the first renewal
            running.cancel()
            with pytest.raises(asyncio.CancelledError):
                await running
            assert asyncio.all_tasks() == {asyncio.current_task()}
            # Cancelled 0.5 s after claiming under a 0.3 s hold: the claim was cut back.
            calls.seconds = 0
            assert await guarded() == 2

    run(scenario())


def test_unreachable_store_raises_and_the_handler_is_not_called(server, key):
    calls = Calls()
    url = server.url.replace(str(server.port), str(free_port()))

    async def scenario():
        async with claims_for(server, url) as claims:
            guarded = tyvo_replicas.once(calls.handler(), claims, key=key, hold=HOLD)
            for _ in range(2):  # a failed first connection is retried on the next call
                with pytest.raises(Exception, match="[Cc]onnect"):
                    await guarded()

    run(scenario())
    assert calls.args == []


async def _break_the_store(server, key):
    """Makes the store answer claims with an error: Redis refuses writes once over its memory
    limit; in PostgreSQL the returned table lacks the claim columns."""
    if server.kind == "redis":
        assert server.command("CONFIG", "SET", "maxmemory", "1") == "+OK"
        return None
    import asyncpg
    connection = await asyncpg.connect(server.url)
    table = "wrong_" + key.replace("-", "_")
    await connection.execute(f"CREATE TABLE {table} (key integer PRIMARY KEY)")
    await connection.close()
    return table


def test_store_answering_with_an_error_raises_and_the_handler_is_not_called(server, key):
    calls = Calls()

    async def scenario():
        table = await _break_the_store(server, key)
        claims = (tyvo_replicas.RedisClaims(server.url) if server.kind == "redis"
                  else tyvo_replicas.PostgresClaims(server.url, table=table))
        try:
            async with claims:
                # Long enough for a first connection on a busy machine: the answer is an error.
                guarded = tyvo_replicas.once(calls.handler(), claims, key=key, hold=timedelta(seconds=10))
                with pytest.raises(Exception, match="maxmemory|layout of an earlier release"):
                    await guarded()
        finally:
            if server.kind == "redis":
                server.command("CONFIG", "SET", "maxmemory", "0")

    run(scenario())
    assert calls.args == []


class StallingClaims:
    """A store that answers, but whose event loop is stalled before the answer is seen."""

    def __init__(self, inner, stall):
        self.inner, self.stall = inner, stall

    async def claim(self, key, token, hold):
        won = await self.inner.claim(key, token, hold)
        time.sleep(self.stall)
        return won

    async def renew(self, key, token, hold):
        return await self.inner.renew(key, token, hold)

    async def release(self, key, token, hold):
        await self.inner.release(key, token, hold)


def test_claim_answered_after_its_hold_does_not_run(server, key):
    calls = Calls()

    async def scenario():
        async with claims_for(server) as claims:
            # A store that does not answer within the hold: the claim gives up waiting.
            if server.kind == "redis":
                assert server.command("CLIENT", "PAUSE", "1000", "ALL") == "+OK"
            else:
                import asyncpg
                await claims.claim(key, "warm-up", HOLD)  # the table exists; now lock it
                blocker = await asyncpg.connect(server.url)
                locked = blocker.transaction()
                await locked.start()
                await blocker.execute("LOCK TABLE tyvo_claims IN ACCESS EXCLUSIVE MODE")
            guarded = tyvo_replicas.once(calls.handler(), claims, key=key + "-slow", hold=HOLD)
            with pytest.raises(TimeoutError, match="did not answer the claim"):
                await guarded()
            if server.kind == "redis":
                assert server.command("CLIENT", "UNPAUSE") == "+OK"
            else:
                await locked.rollback()
                await blocker.close()
            # An answer that comes too late to trust: the claim may have lapsed meanwhile.
            late = tyvo_replicas.once(calls.handler(), StallingClaims(claims, 0.4), key=key + "-late", hold=HOLD)
            with pytest.raises(TimeoutError, match="answered after its hold"):
                await late()

    run(scenario())
    assert calls.args == []


def test_one_claims_object_across_event_loops(server, key):
    calls = Calls()
    claims = claims_for(server)
    numbers = iter(range(100))

    def guarded():
        return tyvo_replicas.once(calls.handler(), claims, key=f"{key}-{next(numbers)}", hold=HOLD)()

    # A program that runs asyncio.run twice: the pool of the closed loop is replaced.
    assert run(guarded()) == 1
    assert run(guarded()) == 2
    # Another loop while the first is still open: refused, not hung.
    first = asyncio.new_event_loop()
    try:
        assert first.run_until_complete(guarded()) == 3
        with pytest.raises(RuntimeError, match="another event loop"):
            run(guarded())
        with pytest.raises(RuntimeError, match="event loop that opened it"):
            run(claims.aclose())
        assert first.run_until_complete(guarded()) == 4  # a refused close leaves it open
        first.run_until_complete(claims.aclose())
    finally:
        first.close()
    # Closed for good, on any loop.
    with pytest.raises(RuntimeError, match="closed"):
        run(guarded())
    run(claims.aclose())  # closing twice is fine
    run(claims_for(server).aclose())  # and so is closing a never-used object


class MemoryClaims:
    """A store of one's own, through the Claims protocol; its clock is the loop's."""

    def __init__(self, renewals=True):
        self.claims, self.calls, self.renewals = {}, [], renewals

    def now(self):
        return asyncio.get_running_loop().time()

    async def claim(self, key, token, hold):
        self.calls.append("claim")
        held = self.claims.get(key)
        if held is not None and held[2] > self.now():
            return False
        self.claims[key] = (token, self.now(), self.now() + hold.total_seconds())
        return True

    async def renew(self, key, token, hold):
        self.calls.append("renew")
        if isinstance(self.renewals, Exception):
            raise self.renewals
        held = self.claims.get(key)
        if not self.renewals or held is None or held[0] != token or held[2] <= self.now():
            return False
        self.claims[key] = (token, held[1], self.now() + hold.total_seconds())
        return True

    async def release(self, key, token, hold):
        self.calls.append("release")
        held = self.claims.get(key)
        if held is not None and held[0] == token:
            self.claims[key] = (token, held[1], min(held[2], held[1] + hold.total_seconds()))


def test_own_store_sees_renewals_every_third_of_the_hold_and_one_release(caplog):
    store = MemoryClaims()
    assert isinstance(store, tyvo_replicas.Claims)
    run(tyvo_replicas.once(Calls(seconds=0.05).handler(), store, key="k", hold=HOLD)())
    assert store.calls == ["claim"]  # a short run needs neither renewal nor release
    store.calls.clear()
    run(tyvo_replicas.once(Calls(seconds=1.0).handler(), store, key="k2", hold=HOLD)())
    assert store.calls[0] == "claim" and store.calls[-1] == "release"
    assert 5 <= store.calls.count("renew") <= 10, store.calls  # every 0.1 s for 1 s
    assert not caplog.records


@pytest.mark.parametrize("renewals, logged", [
    (False, ["ERROR Lost the claim on k while its run goes on (the store no longer holds it"]),
    (ConnectionError("store gone"), ["WARNING Renewing the claim on k failed, retrying: ConnectionError: store gone",
                                     "ERROR Lost the claim on k while its run goes on (renewing it failed until it lapsed: "
                                     "ConnectionError: store gone"]),
])
def test_lost_renewal_is_logged_and_the_run_finishes(caplog, renewals, logged):
    caplog.set_level(logging.WARNING, logger="tyvo.replicas")
    assert run(tyvo_replicas.once(Calls(seconds=0.6).handler(), MemoryClaims(renewals), key="k", hold=HOLD)()) == 1
    lines = [f"{r.levelname} {r.getMessage()}" for r in caplog.records if r.name == "tyvo.replicas"]
    for expected in logged:
        assert any(line.startswith(expected) for line in lines), lines


def test_bad_arguments_are_refused_at_once():
    store = MemoryClaims()
    handler = Calls().handler()

    def refused(error, call, match=None):
        with pytest.raises(error, match=match):
            call()

    refused(TypeError, lambda: tyvo_replicas.once(lambda: None, store, key="k", hold=HOLD), "async def")
    refused(TypeError, lambda: tyvo_replicas.once(handler, object(), key="k", hold=HOLD), "Claims")
    refused(TypeError, lambda: tyvo_replicas.once(handler, store, key=5, hold=HOLD), "key")
    for key in ("", "x" * 513, "a\x00b"):
        refused(ValueError, lambda: tyvo_replicas.once(handler, store, key=key, hold=HOLD), "key")
    for hold in (5, 0.5, None, True):
        refused(TypeError, lambda: tyvo_replicas.once(handler, store, key="k", hold=hold), "timedelta")
    for hold in (timedelta(0), timedelta(seconds=-1), timedelta(days=367)):
        refused(ValueError, lambda: tyvo_replicas.once(handler, store, key="k", hold=hold), "positive")
    tyvo_replicas.once(handler, store, key="k", hold=timedelta(microseconds=1))  # rounded up to 1 ms

    refused(TypeError, lambda: tyvo_replicas.RedisClaims(b"redis://127.0.0.1"), "url")
    refused(ValueError, lambda: tyvo_replicas.RedisClaims("http://127.0.0.1"))
    refused(TypeError, lambda: tyvo_replicas.RedisClaims("redis://127.0.0.1", prefix=1), "prefix")
    for prefix in ("my app:", "a\nb", "x" * 129, "é:"):
        refused(ValueError, lambda: tyvo_replicas.RedisClaims("redis://127.0.0.1", prefix=prefix), "prefix")
    tyvo_replicas.RedisClaims("redis://127.0.0.1", prefix="")

    refused(TypeError, lambda: tyvo_replicas.PostgresClaims(None), "dsn")
    refused(TypeError, lambda: tyvo_replicas.PostgresClaims("postgresql://", table=None), "table")
    for table in ("claims; DROP TABLE users", 'a"b', "Claims", "a.b.c", "", "1claims", "a..b", "x" * 64,
                  "claims--", "cl aims"):
        refused(ValueError, lambda: tyvo_replicas.PostgresClaims("postgresql://", table=table), "table")
    for table in ("jobs.claims", "_claims_2", "user"):
        tyvo_replicas.PostgresClaims("postgresql://", table=table)


def test_max_run_ends_the_claim_of_a_run_that_goes_on(server, key, caplog):
    caplog.set_level(logging.WARNING, logger="tyvo.replicas")

    async def scenario():
        async with claims_for(server) as claims:
            async def long_run():
                claim = tyvo_replicas.current_claim()
                await asyncio.sleep(0.5)
                assert claim.held()  # renewed past its hold of 0.3 s
                await asyncio.sleep(1.0)  # max_run is 0.6 s: no renewal since, so it lapsed
                return claim.held(), await other()

            async def quick():
                return "other"

            other = tyvo_replicas.once(quick, claims, key=key, hold=HOLD)
            return await tyvo_replicas.once(long_run, claims, key=key, hold=HOLD, max_run=timedelta(seconds=0.6))()

    assert run(scenario()) == (False, "other")
    assert [r.getMessage() for r in caplog.records] == [
        f"The run of {key} has lasted its max_run; its claim is no longer renewed and lapses within 0:00:00.300000"]


def test_closing_the_store_mid_run_stops_its_renewals_for_good(server, key, caplog):
    caplog.set_level(logging.WARNING, logger="tyvo.replicas")

    async def scenario():
        claims = claims_for(server)

        async def handler():
            await asyncio.sleep(0.2)
            await claims.aclose()
            await asyncio.sleep(0.5)  # renewals would have reopened a connection by now
            return tyvo_replicas.current_claim().held()

        assert await tyvo_replicas.once(handler, claims, key=key, hold=HOLD)() is False
        with pytest.raises(RuntimeError, match="closed"):
            await tyvo_replicas.once(handler, claims, key=key + "-later", hold=HOLD)()
        with pytest.raises(RuntimeError, match="closed"):
            await claims.claim(key, "token", HOLD)

    run(scenario())
    # Said once, plainly, at WARNING: nothing else, no ERROR.
    records = [(r.levelno, r.getMessage()) for r in caplog.records]
    assert len(records) == 1 and records[0][0] == logging.WARNING, records
    assert records[0][1].startswith(f"Closed {type(claims_for(server)).__name__} while 1 run(s) were still in "
                                    f"progress ({key})"), records
    assert "await tyvo_observe.drain(timeout) before aclose()" in records[0][1]


def test_bad_connection_strings_keys_and_options_are_refused_at_construction():
    for url in ("redis://host:port/0", "redis://127.0.0.1:6379/x", "mysql://127.0.0.1"):
        with pytest.raises(ValueError):
            tyvo_replicas.RedisClaims(url)
    for dsn in ("postgresql://app@127.0.0.1:99999/app", "postgresql://app@host:port/app", "mysql://127.0.0.1/app",
                "host=127.0.0.1 port", "host='unterminated", "postgresql://h/app?sslmode"):
        with pytest.raises(ValueError, match="malformed PostgreSQL DSN"):
            tyvo_replicas.PostgresClaims(dsn)
    for dsn in ("postgresql://app:secret@h1:5432,h2:5433/app?sslmode=require", "host=127.0.0.1 port=5432 user=app",
                "host='/var/run/postgresql' dbname='my db'", "", "postgres://[::1]:5432/app"):
        tyvo_replicas.PostgresClaims(dsn)
    for size in (0, -1, 1001):
        with pytest.raises(ValueError, match="pool_size"):
            tyvo_replicas.RedisClaims("redis://127.0.0.1", pool_size=size)
    for size in (2.0, "3", True):
        with pytest.raises(TypeError, match="pool_size"):
            tyvo_replicas.PostgresClaims("postgresql://", pool_size=size)

    store, handler = MemoryClaims(), Calls().handler()
    with pytest.raises(ValueError, match="surrogate"):
        tyvo_replicas.once(handler, store, key="report-\udc80", hold=HOLD)
    with pytest.raises(TypeError, match="trigger"):
        tyvo_replicas.once(handler, store, key="k", hold=HOLD, trigger="* * * * * *")
    with pytest.raises(ValueError, match="cron"):
        tyvo_replicas.once(handler, store, key="k", hold=HOLD, catch_up=timedelta(minutes=1),
                           trigger=tyvo.Trigger.Interval(timedelta(seconds=1)))
    with pytest.raises(ValueError, match="negative"):
        tyvo_replicas.once(handler, store, key="k", hold=HOLD, catch_up=timedelta(-1),
                           trigger=tyvo.Trigger.Cron("* * * * * *"))
    with pytest.raises(ValueError, match="max_run"):
        tyvo_replicas.once(handler, store, key="k", hold=HOLD, max_run=timedelta(0))
    with pytest.raises(ValueError, match="out of bounds|[Ii]nvalid|[Cc]omponent"):
        tyvo_replicas.once(handler, store, key="k", hold=HOLD, trigger=tyvo.Trigger.Cron("61 * * * * *"))


def test_tls_url_to_a_plain_redis_says_so(redis_server, key):
    async def noop():
        return None

    async def scenario():
        async with tyvo_replicas.RedisClaims(redis_server.url.replace("redis://", "rediss://")) as claims:
            began = time.monotonic()
            # Said before the hold runs out (a plain server never answers the greeting, so the store
            # gives the handshake most of the hold); the hold leaves a loaded machine some slack.
            with pytest.raises(Exception, match="TLS"):
                await tyvo_replicas.once(noop, claims, key=key, hold=timedelta(seconds=4))()
            assert time.monotonic() - began < 4.0

    run(scenario())
