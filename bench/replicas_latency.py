"""Added latency of tyvo_replicas.once() per run, against private Redis and PostgreSQL servers
on loopback (started as the replica tests start them).

    python bench/replicas_latency.py [--runs N] [--out bench/replicas-results.md]

For each store: the time a call of the once() wrapper takes beyond a direct call of the same
no-op handler, when it wins the claim (one round trip: the claim) and when the key is held
(one round trip, the handler not called). Runs longer than a third of their hold add one more
round trip at the end, to cut the renewed claim back; renewals happen while the handler runs."""

import argparse
import asyncio
import platform
import statistics
import sys
import time
from datetime import timedelta
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "replicas"))

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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3000)
    parser.add_argument("--out", type=Path)
    options = parser.parse_args()
    rows = []
    for server_type, make in ((RedisServer, tyvo_replicas.RedisClaims), (PostgresServer, tyvo_replicas.PostgresClaims)):
        server = server_type()
        try:
            server.start()

            async def run():
                async with make(server.url) as claims:
                    return await measure(claims, options.runs + 100)

            results = asyncio.run(run())
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
    text = "\n".join(lines) + "\n"
    print(text)
    if options.out:
        options.out.write_text(text)


if __name__ == "__main__":
    main()
