"""Job tasks that a cancelled start() leaves running are stopped by a later start() (which then
runs each job in one task only) and by the end of their Scheduler."""

from scenario import scenario

COUNTING_JOB = """
state = {"runs": 0, "running": 0, "overlaps": 0}
async def job():
    state["runs"] += 1
    state["running"] += 1
    if state["running"] > 1:
        state["overlaps"] += 1
    await asyncio.sleep(0.2)
    state["running"] -= 1
"""


def test_a_start_after_a_cancelled_start_runs_each_job_once(python):
    python(scenario(COUNTING_JOB + """
s = tyvo.Scheduler()
await s.schedule(job, Interval(timedelta(milliseconds=300)), id="counted")
first = asyncio.ensure_future(s.start())
await wait_for(lambda: state["runs"] >= 1)
first.cancel()
await asyncio.sleep(0.3)
try:
    await s.shutdown()
except Exception as error:
    assert str(error) == "channel closed"   # the cancel itself still leaves the tasks unreachable
else:
    raise AssertionError("shutdown() reached a cancelled start()")
runs = state["runs"]
await asyncio.sleep(1.0)
assert state["runs"] > runs, "the cancelled start()'s task stopped by itself"

second = asyncio.ensure_future(s.start())
await wait_for(lambda: state["running"] == 1)
state["runs"] = 0
await asyncio.sleep(2.5)
# One task: a run every 0.5 s (0.2 s of run, then 0.3 s of interval), so at most 6 in 2.5 s.
assert state["runs"] <= 6, f"{state['runs']} runs: the old task still runs beside the new one"
assert state["runs"] >= 2, "the restarted job does not run"
assert state["overlaps"] == 0, "two runs of one job overlapped"
await s.shutdown()
await asyncio.wait_for(second, 15)
runs = state["runs"]
await asyncio.sleep(1.0)
assert state["runs"] == runs, "a job ran after the shutdown"
"""))


def test_a_dropped_scheduler_stops_the_tasks_of_a_cancelled_start(python):
    python(scenario(COUNTING_JOB + """
import gc
s = tyvo.Scheduler()
await s.schedule(job, Interval(timedelta(milliseconds=100)), id="dropped")
runner = asyncio.ensure_future(s.start())
await wait_for(lambda: state["runs"] >= 1)
runner.cancel()
await asyncio.sleep(0.3)
del s, runner
gc.collect()
await wait_for(lambda: (logging.WARNING, "Job dropped is now shutdown") in logs())
runs = state["runs"]
await asyncio.sleep(1.0)
assert state["runs"] <= runs + 1, "the job still runs after its scheduler was dropped"
"""))
