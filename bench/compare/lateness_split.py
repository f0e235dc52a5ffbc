"""Where tyvo's lateness at N interval jobs goes: lateness.py's measure (1-second interval, counted
from the end of the previous run's body), split by the run events of tyvo_observe. Observing
costs a little itself: compare totals with lateness.py, not with this.

  after_end   from the end of a run's body to the end tyvo counts the next fire time from: the
              completion of the run's task, seen by its done-callback on a later turn of the loop
  to_loop     from the fire time to the loop noting the run's start: timer thread, workers,
              handler call, hand-over, the loop making the run's task
  to_body     from that note to the run's body starting (the task's first step)
  total       their sum: lateness as lateness.py measures it

    python lateness_split.py JOBS [--seconds 6] [--interval 1] [--loop asyncio|uvloop]
"""

import argparse
import asyncio
import time

import contestants
import tyvo_observe
from measure import add_loop_option, emit, loop_name, percentile, run


async def measure(jobs, seconds, interval):
    contestant = contestants.make("tyvo", interval)
    body_starts = [[] for _ in range(jobs)]
    body_ends = [[] for _ in range(jobs)]
    events = {}

    def on_event(event):
        if event.kind == "run" and event.ended_monotonic is not None:
            events.setdefault(event.job_id, []).append(event)

    async def work(index):
        body_starts[index].append(time.monotonic())
        body_ends[index].append(time.monotonic())

    schedule = contestant._scheduler.schedule
    ids = await asyncio.gather(*[schedule(work, contestant._trigger, args=(index,)) for index in range(jobs)])
    with tyvo_observe.subscribe(on_event):
        await contestant.start()
        await asyncio.sleep(seconds)
        await contestant.stop()

    splits = {"after_end": [], "to_loop": [], "to_body": [], "total": []}
    for index, job_id in enumerate(ids):
        runs = events.get(job_id, [])
        for k in range(1, min(len(runs), len(body_starts[index]))):
            previous, this = runs[k - 1], runs[k]
            splits["after_end"].append(previous.ended_monotonic - body_ends[index][k - 1])
            splits["to_loop"].append(this.started_monotonic - this.due_monotonic)
            splits["to_body"].append(body_starts[index][k] - this.started_monotonic)
            splits["total"].append(body_starts[index][k] - body_ends[index][k - 1] - interval)

    result = {"workload": "lateness_split", "contestant": "tyvo", "loop": loop_name(), "jobs": jobs}
    for name, values in splits.items():
        values.sort()
        for label, fraction in (("p50", 0.5), ("p99", 0.99)):
            value = percentile(values, fraction)
            result["%s_%s_ms" % (name, label)] = None if value is None else round(value * 1000, 3)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("jobs", type=int)
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--interval", type=float, default=1.0)
    add_loop_option(parser)
    options = parser.parse_args()
    emit(run(measure(options.jobs, options.seconds, options.interval), options.loop))


if __name__ == "__main__":
    main()
