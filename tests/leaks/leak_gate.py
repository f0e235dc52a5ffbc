"""Reference-leak gate for a debug interpreter (one with sys.gettotalrefcount).

Each workload runs a few times to warm caches up, then in rounds of many cycles; a round passes
when neither sys.gettotalrefcount() nor sys.getallocatedblocks() grew over it by more than a small
slack (interned strings, free lists and asyncio's caches settle, a leak grows with every cycle).
A workload that grows in every one of its rounds leaks, and the gate fails naming it.

    python3.14d tests/leaks/leak_gate.py [--only NAME] [--stores]

--stores adds tyvo_replicas.once against private Redis and PostgreSQL servers (tests/replicas).
"""

import argparse
import asyncio
import gc
import itertools
import logging
import sys
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path

import tyvo
import tyvo_cron
import tyvo_observe

ROUNDS = 8
# Cycles per round: fewer for the slower workloads. A leak grows by at least one reference per cycle; a round may grow by less than half
# an object per cycle (caches and free lists settling) and still count as flat.
CYCLES = 50
SLOW_CYCLES = 30


class DropRecords(logging.Handler):
    def emit(self, record):
        pass


def totals():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


async def measure(name, workload, cycles, references=True):
    # Caches fill slowly (zoneinfo's, asyncio's, the allocator's free lists): warm up for a while.
    for _ in range(2 * cycles):
        await workload()
    slack = cycles // 2
    growths = []
    for _ in range(ROUNDS):
        refs, blocks = totals()
        for _ in range(cycles):
            await workload()
        after_refs, after_blocks = totals()
        growth = (after_refs - refs, after_blocks - blocks)
        if (growth[0] <= slack or not references) and growth[1] <= slack:
            print(f"{name}: flat (references {growth[0]:+d}{'' if references else ' not counted'}, "
                  f"blocks {growth[1]:+d} over {cycles} cycles)")
            return True
        growths.append(growth)
    print(f"{name}: LEAKS: (references, blocks) grew in every round of {cycles} cycles: {growths}")
    return False


# --- the scheduler -------------------------------------------------------------------------------

async def returning():
    return 1


async def raising():
    raise ValueError("a failing run")


async def cancelled():
    # A run in progress is never cancelled by tyvo (shutdown lets it finish): this one is by itself.
    asyncio.current_task().cancel()
    await asyncio.sleep(0)


async def scheduler_lifecycle():
    s = tyvo.Scheduler()
    every = tyvo.Trigger.Interval(timedelta(milliseconds=5))
    jobs = {"returning": returning, "raising": raising, "cancelled": cancelled}
    for job_id, handler in jobs.items():
        await s.schedule(handler, every, id=job_id)
    await s.schedule(returning, tyvo.Trigger.Cron("* * * * * *"), id="cron")
    runner = asyncio.ensure_future(s.start())
    await asyncio.sleep(0.03)
    s.pause("returning")
    await asyncio.sleep(0.01)
    s.resume("returning")
    await asyncio.sleep(0.01)
    # Paused first, so that no run is going on at shutdown (which would add a second's re-check).
    for job_id in [*jobs, "cron"]:
        s.pause(job_id)
    await asyncio.sleep(0.01)
    await s.shutdown()
    await runner


async def refused_calls():
    s = tyvo.Scheduler()
    for call in (lambda: s.schedule(returning, "not a trigger"),
                 lambda: s.schedule(returning, tyvo.Trigger.Interval(timedelta(seconds=-1))),
                 lambda: tyvo.Trigger.Cron("61 * * * *"),
                 lambda: s.pause("no such job"),
                 lambda: s.schedule(print, tyvo.Trigger.Interval(timedelta(seconds=1)))):
        try:
            result = call()
            if asyncio.iscoroutine(result) or isinstance(result, asyncio.Future):
                await result
        except Exception:
            pass


async def dropped_scheduler():
    s = tyvo.Scheduler()
    await s.schedule(returning, tyvo.Trigger.Interval(timedelta(seconds=1)), id="dropped")
    del s


async def dropped_started_scheduler():
    # Started, then forgotten without shutdown: its runner task is cancelled and both dropped.
    s = tyvo.Scheduler()
    await s.schedule(returning, tyvo.Trigger.Interval(timedelta(milliseconds=5)))
    runner = asyncio.ensure_future(s.start())
    await asyncio.sleep(0.02)
    runner.cancel()
    try:
        await runner
    except asyncio.CancelledError:
        pass
    del s, runner


# --- tyvo_cron -----------------------------------------------------------------------------------

START = datetime(2026, 3, 28, 0, 0, tzinfo=timezone.utc)
PATTERNS = ["*/5 * * * *", "0 0 * * 5#2", "CRON_TZ=Europe/Berlin 30 2 * * *", "0 12 L * *", "*/7 */3 * * * *"]


async def cron_calls():
    for text in PATTERNS:
        pattern = tyvo_cron.Pattern(text)
        pattern.next(START)
        pattern.previous(START)
        pattern.matches(START)
        list(itertools.islice(pattern.iter(START), 20))
        hash(pattern)
        _ = pattern == tyvo_cron.Pattern(text), pattern.expr, pattern.__reduce__()
    for refused in ("61 * * * *", "* * *", "CRON_TZ=Nowhere/Else * * * * *", "", 5, None, b"* * * * *"):
        try:
            tyvo_cron.Pattern(refused)
        except (ValueError, TypeError):
            pass
    pattern = tyvo_cron.Pattern("*/5 * * * *")
    for wrong in (None, "2026-01-01", 5, datetime(2026, 1, 1)):
        for method in (pattern.next, pattern.previous, pattern.matches, pattern.iter):
            try:
                method(wrong)
            except (ValueError, TypeError):
                pass


# --- tyvo_observe --------------------------------------------------------------------------------

def quiet_logger():
    logger = logging.getLogger("leak-gate.failures")
    logger.propagate = False
    if not logger.handlers:
        logger.addHandler(DropRecords())
    return logger


tracer_provider = None


async def observed_runs():
    from opentelemetry.sdk.trace import TracerProvider
    from prometheus_client import CollectorRegistry

    global tracer_provider
    if tracer_provider is None:  # each provider stays registered with atexit: one for all cycles
        tracer_provider = TracerProvider(shutdown_on_exit=False)
    seen = []
    subscriptions = [
        tyvo_observe.subscribe(seen.append, on_start=seen.append),
        tyvo_observe.prometheus(CollectorRegistry()),
        tyvo_observe.opentelemetry(tracer_provider),
        tyvo_observe.log_failures(quiet_logger()),
    ]
    with tyvo_observe.subscribe(lambda event: None):
        await scheduler_lifecycle()
    for subscription in subscriptions:
        subscription.close()
    seen.clear()


# --- tyvo_replicas -------------------------------------------------------------------------------

def replica_workloads(claims_by_store):
    import tyvo_replicas

    timeouts = [0]

    def once_against(claims):
        counter = itertools.count()

        async def handler(value):
            return value

        async def workload():
            key = f"leak-{next(counter) % 4}"
            interval = tyvo_replicas.once(handler, claims, key=key, hold=timedelta(milliseconds=1))
            cron = tyvo_replicas.once(handler, claims, key=key + "-cron", hold=timedelta(seconds=1),
                                      trigger=tyvo.Trigger.Cron("* * * * * *"), catch_up=timedelta(seconds=5))
            # A debug interpreter on a busy machine may miss the store's budget now and then: that
            # path must not leak either.
            for call, value in ((interval, 1), (cron, 2)):
                try:
                    await call(value)
                except TimeoutError:
                    timeouts[0] += 1
            try:
                tyvo_replicas.once(handler, claims, key=5, hold=timedelta(seconds=1))
            except TypeError:
                pass

        return workload

    # asyncpg's extension comes as a release build, whose reference counting the debug interpreter
    # does not count: against PostgreSQL only the allocated blocks tell.
    return {f"tyvo_replicas.once on {store}": (once_against(claims), CYCLES, store != "postgres")
            for store, claims in claims_by_store.items()}


# The gate's own check, run first: a workload that keeps one small object per cycle must be
# caught, and one that keeps nothing must pass; otherwise a green gate means nothing.
kept = []


async def keeps_one_object():
    kept.append(object())


async def keeps_nothing():
    [object() for _ in range(10)]


async def gate_catches_leaks():
    caught = not await measure("self-check: keeps one object per cycle", keeps_one_object, CYCLES)
    passed = await measure("self-check: keeps nothing", keeps_nothing, CYCLES)
    kept.clear()
    return caught and passed


async def gate(only, stores):
    if not await gate_catches_leaks():
        return ["the gate itself: it cannot tell a leak from a flat workload"]
    tyvo_logger = logging.getLogger("tyvo")
    tyvo_logger.addHandler(DropRecords())
    tyvo_logger.propagate = False
    workloads = {
        "scheduler: schedule/start/pause/resume/shutdown": (scheduler_lifecycle, SLOW_CYCLES),
        "scheduler: refused calls": (refused_calls, CYCLES),
        "scheduler: dropped before start": (dropped_scheduler, CYCLES),
        "scheduler: dropped while started": (dropped_started_scheduler, CYCLES),
        "tyvo_cron: next/previous/matches/iter, refused input": (cron_calls, CYCLES),
        "tyvo_observe: every integration subscribed and closed": (observed_runs, SLOW_CYCLES),
    }
    servers = []
    if stores:
        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "replicas"))
        import tyvo_replicas
        from servers import PostgresServer, RedisServer
        for server in (RedisServer(), PostgresServer()):
            servers.append(server)
            server.start()
        redis, postgres = servers
        workloads.update(replica_workloads({"redis": tyvo_replicas.RedisClaims(redis.url),
                                            "postgres": tyvo_replicas.PostgresClaims(postgres.url)}))
    try:
        leaking = []
        for name, (workload, cycles, *references) in workloads.items():
            if only and only not in name:
                continue
            began = time.monotonic()
            if not await measure(name, workload, cycles, *references):
                leaking.append(name)
            print(f"   ({time.monotonic() - began:.1f} s)")
        return leaking
    finally:
        for server in servers:
            server.remove()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", default="")
    parser.add_argument("--stores", action="store_true")
    arguments = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("the leak gate needs a debug interpreter (one with sys.gettotalrefcount)")
    print(f"leak gate on {sys.version.split()[0]} (debug build)")
    leaking = asyncio.run(gate(arguments.only, arguments.stores))
    if leaking:
        print("leaking:", *leaking, sep="\n  ")
        sys.exit(1)
    print("no leaks")


if __name__ == "__main__":
    main()
