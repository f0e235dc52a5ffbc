"""Next-occurrence cost of the Python cron engines, on the patterns tyvo's native benchmark uses.

For each pattern and library, two figures, each the median over batches of the per-call time:
  next        the next occurrence from a given start, the pattern already parsed
  parse+next  parsing the pattern and then finding the next occurrence
Starts are spread over 2024-2030 in UTC, like the native benchmark's.

    python cron_next.py [--samples 300] [--batch 20]

prints one JSON line. A pattern a library cannot express is reported as such.
"""

import argparse
import random
import statistics
import time
from datetime import datetime, timedelta, timezone

from measure import emit

UTC = timezone.utc

# tyvo's pattern -> (croniter expression and options, APScheduler CronTrigger fields).
# croniter reads a sixth field as seconds only at the end unless told otherwise; APScheduler
# numbers weekdays from Monday = 0, so weekdays are given by name.
PATTERNS = {
    "*/15 * * * *": (("*/15 * * * *", {}), {"minute": "*/15"}),
    "0 0 L * *": (("0 0 L * *", {}), {"minute": 0, "hour": 0, "day": "last"}),
    "0 0 * * 5#2": (("0 0 * * 5#2", {}), {"minute": 0, "hour": 0, "day": "2nd fri"}),
    "30 */15 * * * *": (("30 */15 * * * *", {"second_at_beginning": True}), {"second": 30, "minute": "*/15"}),
}


def starts(count=1024):
    generator = random.Random(42)
    origin = datetime(2024, 1, 1, tzinfo=UTC)
    return [origin + timedelta(seconds=generator.randrange(6 * 365 * 86400)) for _ in range(count)]


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


def croniter_timings(expression, options, start_times, samples, batch):
    from croniter import croniter

    parsed = croniter(expression, start_times[0], **options)
    pick = lambda call: start_times[call & 1023]
    return {
        "next_ns": per_call_ns(lambda call: parsed.get_next(float, start_time=pick(call)), samples, batch),
        "parse_next_ns": per_call_ns(lambda call: croniter(expression, pick(call), **options).get_next(float),
                                     samples, batch),
    }


def apscheduler_timings(fields, start_times, samples, batch):
    from apscheduler.triggers.cron import CronTrigger

    parsed = CronTrigger(timezone=UTC, **fields)
    pick = lambda call: start_times[call & 1023]
    return {
        "next_ns": per_call_ns(lambda call: parsed.get_next_fire_time(None, pick(call)), samples, batch),
        "parse_next_ns": per_call_ns(
            lambda call: CronTrigger(timezone=UTC, **fields).get_next_fire_time(None, pick(call)), samples, batch),
    }


def agree(pattern, start_times):
    """The engines must agree before their speeds mean anything: compare a few next occurrences."""
    from apscheduler.triggers.cron import CronTrigger
    from croniter import croniter

    (expression, options), fields = PATTERNS[pattern]
    trigger = CronTrigger(timezone=UTC, **fields)
    for start in start_times[:50]:
        by_croniter = croniter(expression, start, **options).get_next(datetime)
        # APScheduler's answer may equal its start; ask from one second later for "strictly after".
        by_apscheduler = trigger.get_next_fire_time(None, start + timedelta(seconds=1))
        if by_croniter != by_apscheduler:
            return "disagree at %s: croniter %s, APScheduler %s" % (start, by_croniter, by_apscheduler)
    return None


def measure(samples, batch):
    start_times = starts()
    results = {}
    for pattern, ((expression, options), fields) in PATTERNS.items():
        results[pattern] = {
            "croniter": dict(croniter_timings(expression, options, start_times, samples, batch),
                             expression=expression),
            "apscheduler": dict(apscheduler_timings(fields, start_times, samples, batch),
                                expression="CronTrigger(%s)" % ", ".join("%s=%r" % item for item in fields.items())),
            "disagreement": agree(pattern, start_times),
        }
    return {"workload": "cron", "patterns": results}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--samples", type=int, default=300)
    parser.add_argument("--batch", type=int, default=20)
    options = parser.parse_args()
    emit(measure(options.samples, options.batch))


if __name__ == "__main__":
    main()
