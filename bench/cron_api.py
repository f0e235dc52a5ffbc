"""Per-call cost of a next occurrence in Python: tyvo_cron beside croniter and cronsim.

Run once per library, each in a venv of its own on the same interpreter (bench/run_cron_api.sh
does that); prints one JSON line with, per pattern:
  next_ns      the first occurrence strictly after a given aware start, the pattern parsed once
               (cronsim takes its start only when built, so its figure includes the parse)
  iterate_ns   each further occurrence of one iterator (tyvo_cron: Pattern.iter; croniter: get_next;
               cronsim: next() of one CronSim)
  first        the first three occurrences from a fixed start, to check that the engines agree
Each figure is the median over batches of the per-call time; starts are spread over 2024-2030.

    python bench/cron_api.py tyvo_cron|croniter|cronsim [--samples 400] [--batch 50]
"""

import argparse
import json
import platform
import random
import statistics
import sys
import time
from datetime import datetime, timedelta, timezone
from zoneinfo import ZoneInfo

UTC = timezone.utc

# (tyvo pattern, the same pattern for croniter and cronsim, zone of the starts). A six-field tyvo
# pattern begins with seconds, which croniter reads only when told.
PATTERNS = [
    ("*/15 * * * *", "*/15 * * * *", None),
    ("0 */5 9-17 * * MON-FRI", "0 */5 9-17 * * MON-FRI", None),
    ("30 */15 * * * *", "30 */15 * * * *", None),
    ("0 9 * * MON-FRI", "0 9 * * MON-FRI", None),
    ("0 0 1 * *", "0 0 1 * *", None),
    ("CRON_TZ=Europe/Berlin 0 9 * * MON-FRI", "0 9 * * MON-FRI", "Europe/Berlin"),
]


def starts(zone, count=1024):
    generator = random.Random(42)
    origin = datetime(2024, 1, 1, tzinfo=UTC)
    instants = [origin + timedelta(seconds=generator.randrange(6 * 365 * 86400)) for _ in range(count)]
    return [t.astimezone(ZoneInfo(zone)) for t in instants] if zone else instants


def per_call_ns(operation, samples, batch):
    times = []
    call = 0
    for _ in range(samples):
        began = time.perf_counter_ns()
        for _ in range(batch):
            operation(call)
            call += 1
        times.append((time.perf_counter_ns() - began) / batch)
    return statistics.median(times)


def tyvo_cron_engine(ours, _theirs):
    import tyvo_cron

    pattern = tyvo_cron.Pattern(ours)
    return pattern.next, lambda start: pattern.iter(start).__next__


def croniter_engine(_ours, theirs):
    from croniter import croniter

    options = {"second_at_beginning": True} if len(theirs.split()) == 6 else {}
    parsed = croniter(theirs, datetime(2024, 1, 1, tzinfo=UTC), **options)

    def after(start):
        return parsed.get_next(datetime, start_time=start)

    def iterator(start):
        walker = croniter(theirs, start, **options)
        return lambda: walker.get_next(datetime)

    return after, iterator


def cronsim_engine(_ours, theirs):
    from cronsim import CronSim

    return (lambda start: next(CronSim(theirs, start))), (lambda start: CronSim(theirs, start).__next__)


ENGINES = {"tyvo_cron": tyvo_cron_engine, "croniter": croniter_engine, "cronsim": cronsim_engine}


def measure(engine_name, samples, batch):
    results = {}
    for ours, theirs, zone in PATTERNS:
        after, iterator = ENGINES[engine_name](ours, theirs)
        start_times = starts(zone)
        fixed = datetime(2026, 3, 28, 12, 7, 13, tzinfo=UTC)
        fixed = fixed.astimezone(ZoneInfo(zone)) if zone else fixed
        walk = iterator(fixed)
        first = [walk() for _ in range(3)]
        assert after(fixed) == first[0], (engine_name, ours)
        step = iterator(start_times[0])
        results[ours] = {
            "next_ns": per_call_ns(lambda call: after(start_times[call & 1023]), samples, batch),
            "iterate_ns": per_call_ns(lambda call: step(), samples, batch),
            "first": [t.astimezone(UTC).isoformat() for t in first],
        }
    return results


def version_of(engine_name):
    from importlib.metadata import version

    return version("tyvo" if engine_name == "tyvo_cron" else engine_name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("engine", choices=sorted(ENGINES))
    parser.add_argument("--samples", type=int, default=400)
    parser.add_argument("--batch", type=int, default=50)
    arguments = parser.parse_args()
    print(json.dumps({
        "engine": arguments.engine,
        "version": version_of(arguments.engine),
        "python": platform.python_version(),
        "patterns": measure(arguments.engine, arguments.samples, arguments.batch),
    }))


if __name__ == "__main__":
    sys.exit(main())
