"""Thousands of runs due at once, on a loop too busy to take them as they fall due.

Only so many runs are handed to a loop unstarted at a time; the others wait for their turn. A run
whose job task has been stopped, or whose job has been paused, while it waits must never begin.
"""

import os

from scenario import scenario

# Well above the number of runs that are ever handed to a loop unstarted at once.
JOBS = 6000
# Development mode (asyncio's debug mode) records where every task and callback came from: the
# loop makes tasks several times slower, and these tests wait for thousands of runs.
PATIENCE = 3 if os.environ.get("PYTHONDEVMODE") else 1

BURST_PRELUDE = f"""
import contextvars
JOBS = {JOBS}
PATIENCE = {PATIENCE}
generation = contextvars.ContextVar("generation", default=0)
began = []      # (generation, job) of every run, in the order the runs began
watching = [False]
running = {{}}  # job -> runs in progress among those that began while watching
overlaps = []
async def work(job):
    began.append((generation.get(), job))
    watched = watching[0]
    if watched:
        running[job] = running.get(job, 0) + 1
        if running[job] > 1:
            overlaps.append(job)
    await asyncio.sleep(0.5)
    if watched:
        running[job] -= 1
every = Interval(timedelta(milliseconds=50))

async def scheduler_of_many():
    s = tyvo.Scheduler()
    for job in range(JOBS):
        await s.schedule(work, every, args=(job,), id=str(job))
    return s

def due_together(seconds):
    # Blocks the loop: meanwhile every job task that is due asks for its run, and the runs queue.
    time.sleep(seconds)
"""


def test_runs_queued_at_shutdown_never_begin_and_a_restart_never_doubles_a_job(python):
    python(scenario(BURST_PRELUDE + """
s = await scheduler_of_many()
generation.set(1)
runner = asyncio.ensure_future(s.start())
due_together(1.5)
s.shutdown()       # sent at once; the loop is still busy
due_together(1.5)  # every job task takes its stop meanwhile
await runner
ended = len(began)

# Started again at once: what the first start left behind must not run next to the new runs.
watching[0] = True
generation.set(2)
runner = asyncio.ensure_future(s.start())
due_together(1.5)
await wait_for(lambda: sum(1 for g, _ in began if g == 2) >= 2 * JOBS, timeout=60 * PATIENCE)
await s.shutdown()
await runner
ended_again = len(began)
await asyncio.sleep(1.0)
late = {job for g, job in began[ended:] if g == 1}
late_again = {job for g, job in began[ended_again:]}
assert not late, f"{len(late)} jobs began a run of the first start after it had ended"
assert not late_again, f"{len(late_again)} jobs began a run after the second start had ended"
assert not overlaps, f"{len(set(overlaps))} jobs had two runs at once after the restart"
"""), timeout=240 * PATIENCE)


def test_runs_queued_when_paused_or_replaced_never_begin(python):
    python(scenario(BURST_PRELUDE + """
# Paused while their first runs wait: only runs already handed to the loop may still begin.
s = await scheduler_of_many()
runner = asyncio.ensure_future(s.start())
due_together(1.5)
for job in range(JOBS):
    s.pause(str(job))
await asyncio.sleep(1.5)
ran = {job for _, job in began}
assert 0 < len(ran) < JOBS, f"{len(ran)} of {JOBS} paused jobs began their waiting run"
await s.shutdown()
await runner

# Replaced under the same ids while their first runs wait: the replaced tasks' runs must not begin.
began.clear()
s = await scheduler_of_many()
runner = asyncio.ensure_future(s.start())
due_together(1.5)
replacing = [s.schedule(work, every, args=(JOBS + job,), id=str(job)) for job in range(JOBS)]
due_together(2.5)  # the supervisor takes the new jobs in and stops the replaced tasks
await asyncio.gather(*replacing)
await wait_for(lambda: len({job for _, job in began if job >= JOBS}) == JOBS, timeout=60 * PATIENCE)
await asyncio.sleep(0.5)
ran = {job for _, job in began if job < JOBS}
assert 0 < len(ran) < JOBS, f"{len(ran)} of {JOBS} replaced jobs began their waiting run"
await s.shutdown()
await runner
"""), timeout=240 * PATIENCE)
