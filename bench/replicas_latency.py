"""Added latency of tyvo_replicas.once() per run, and winning calls per second, against private
Redis and PostgreSQL servers on loopback (started as the replica tests start them).

    python bench/replicas_latency.py [--runs N] [--out bench/replicas-results.md]

For each store: the time a call of the once() wrapper takes beyond a direct call of the same
no-op handler, when it wins the claim (one round trip: the claim) and when the key is held
(one round trip, the handler not called). Runs longer than a third of their hold add one more
round trip at the end, to cut the renewed claim back; renewals happen while the handler runs.

Then winning calls per second from one process, each on a key of its own: one after another
and 16 at a time, with the hold-window rule and per fire time of a cron job (a claim, and a
cut-back as the run ends). Last, claims per second with 1, 5 and 20 replica processes at once,
all calling the same keys per fire time, as replicas of one service do."""

import argparse
import asyncio
import multiprocessing
import platform
import statistics
import sys
import time
from datetime import timedelta
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "replicas"))

import tyvo  # noqa: E402
import tyvo_replicas  # noqa: E402
from servers import PostgresServer, RedisServer  # noqa: E402


async def noop():
    return None


def percentile(samples, fraction):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


async def measure(claims, runs):
    hold = timedelta(seconds=60)
    wins = [tyvo_replicas.once(noop, claims, key=f"bench-{time.time_ns()}-{i}", hold=hold) for i in range(runs)]
    held = tyvo_replicas.once(noop, claims, key=f"bench-held-{time.time_ns()}", hold=hold)
    await held()
    for warm in wins[:100]:
        await warm()
    timings = {"direct": [], "win": [], "held": []}
    clock = time.perf_counter
    # Interleaved, so that drift of the machine touches all three alike.
    for win in wins[100:]:
        for name, call in (("direct", noop), ("win", win), ("held", held)):
            began = clock()
            await call()
            timings[name].append(clock() - began)
    base = statistics.median(timings["direct"])
    return {name: [t - base for t in timings[name]] for name in ("win", "held")}


async def throughput(claims, runs, trigger, concurrency):
    """Winning once() calls per second, `concurrency` at a time, each on a fresh key."""
    hold = timedelta(seconds=60)
    stamp = time.time_ns()
    # Each call claims the current second's fire time of a key of its own.
    wrappers = [tyvo_replicas.once(noop, claims, key=f"rate-{stamp}-{i}", hold=hold, trigger=trigger)
                for i in range(runs)]
    for warm in wrappers[:100]:
        await warm()
    pending = iter(wrappers[100:])

    async def worker():
        for wrapper in pending:
            await wrapper()

    began = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(concurrency)))
    return (runs - 100) / (time.perf_counter() - began)


EVERY_SECOND = tyvo.Trigger.Cron("* * * * * *")
RATES = [("hold window", None, 1), ("hold window", None, 16),
         ("per fire time", EVERY_SECOND, 1), ("per fire time", EVERY_SECOND, 16)]
REPLICAS = (1, 5, 20)
REPLICA_SECONDS = 4.0


def replica(kind, url, stamp, start_at, results):
    """One replica: claims the current fire time of the shared keys in turn, 4 at a time, from
    `start_at` (time.time()) for REPLICA_SECONDS; puts (calls, wins) on `results`."""
    async def run():
        make = tyvo_replicas.RedisClaims if kind == "redis" else tyvo_replicas.PostgresClaims
        async with make(url) as claims:
            wrappers = [tyvo_replicas.once(noop_won, claims, key=f"shared-{stamp}-{i}", hold=timedelta(seconds=5),
                                           trigger=EVERY_SECOND) for i in range(200)]
            await wrappers[0]()  # connected
            await asyncio.sleep(max(0.0, start_at - time.time()))
            counts = [0, 0]
            end = time.monotonic() + REPLICA_SECONDS

            async def worker(offset):
                position = offset
                while time.monotonic() < end:
                    won = await wrappers[position % len(wrappers)]()
                    counts[0] += 1
                    counts[1] += won is True
                    position += 4

            await asyncio.gather(*(worker(offset) for offset in range(4)))
            return counts

    results.put(asyncio.run(run()))


async def noop_won():
    return True


def replicas_rate(server, count):
    """Claims (and wins) per second, summed over `count` replica processes."""
    context = multiprocessing.get_context("spawn")
    results = context.Queue()
    start_at = time.time() + 3.0 + count * 0.4  # after every replica has started and connected
    stamp = time.time_ns()
    processes = [context.Process(target=replica, args=(server.kind, server.url, stamp, start_at, results))
                 for _ in range(count)]
    for process in processes:
        process.start()
    counts = [results.get(timeout=120) for _ in processes]
    for process in processes:
        process.join(timeout=60)
    return sum(c[0] for c in counts) / REPLICA_SECONDS, sum(c[1] for c in counts) / REPLICA_SECONDS


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3000)
    parser.add_argument("--out", type=Path)
    options = parser.parse_args()
    rows, rate_rows, replica_rows = [], [], []
    for server_type, make in ((RedisServer, tyvo_replicas.RedisClaims), (PostgresServer, tyvo_replicas.PostgresClaims)):
        server = server_type()
        try:
            server.start()

            async def run():
                async with make(server.url) as claims:
                    await claims.claim("bench-first", "first", timedelta(milliseconds=1))
                    await asyncio.sleep(1.5)  # a store vouches for fire times from 1 s after its first claim
                    latency = await measure(claims, options.runs + 100)
                    rates = [(rule, concurrency, await throughput(claims, options.runs + 100, trigger, concurrency))
                             for rule, trigger, concurrency in RATES]
                    return latency, rates

            results, rates = asyncio.run(run())
            rate_rows += [(server.kind, rule, concurrency, rate) for rule, concurrency, rate in rates]
            for count in REPLICAS:
                replica_rows.append((server.kind, count, *replicas_rate(server, count)))
        finally:
            server.remove()
        for case, samples in results.items():
            rows.append((server.kind, case, statistics.median(samples), percentile(samples, 0.99), len(samples)))
    lines = [
        "# Added latency of once() per run",
        "",
        f"`python bench/replicas_latency.py --runs {options.runs}`: CPython {platform.python_version()}, "
        f"asyncio event loop, servers on loopback on the same machine ({platform.machine()}, shared, noisy).",
        "Time of a once() call minus the median time of a direct call of the same no-op handler.",
        "",
        "| store | call | p50 | p99 | calls |",
        "|---|---|---:|---:|---:|",
    ]
    labels = {"win": "wins the claim, runs", "held": "key held, skips"}
    for store, case, p50, p99, count in rows:
        lines.append(f"| {store} | {labels[case]} | {p50 * 1e3:.3f} ms | {p99 * 1e3:.3f} ms | {count} |")
    lines += [
        "",
        "Winning once() calls per second from one process, each call on a key of its own, a no-op handler:",
        "one after another, or 16 at a time; with the hold-window rule (one round trip), or per fire time",
        "of a cron job (a claim, and a cut-back to end the claim as the run ends: two round trips).",
        "",
        "| store | rule | at a time | wins per second |",
        "|---|---|---:|---:|",
    ]
    for store, rule, concurrency, rate in rate_rows:
        lines.append(f"| {store} | {rule} | {concurrency} | {rate:,.0f} |")
    lines += [
        "",
        f"Claims per second with several replica processes at once, for {REPLICA_SECONDS:.0f} s: each replica",
        "calls the same 200 keys in turn, 4 calls at a time, each call claiming the current second's fire",
        "time of its key (a no-op run on the winner, then its cut-back). Summed over the replicas: calls",
        "answered, and of those the wins (runs).",
        "",
        "| store | replicas | claims per second | runs per second |",
        "|---|---:|---:|---:|",
    ]
    for store, count, calls, wins in replica_rows:
        lines.append(f"| {store} | {count} | {calls:,.0f} | {wins:,.0f} |")
    text = "\n".join(lines) + "\n"
    print(text)
    if options.out:
        options.out.write_text(text)


if __name__ == "__main__":
    main()
