"""A forked child inherits a copy of a started scheduler: nothing of the parent's runtime may
run in it, whatever the child does with that copy, and the parent goes on as before."""

import pytest

from conftest import run_python

# The parent runs its loop, with a job every 10 ms, in a thread and forks from the main thread
# (asyncio refuses a loop inherited through fork); `{child}` is what the child does with its copy
# of the started scheduler `s`. The parent then checks that the child ended with the expected
# status and that its own job is still running.
FORKING_PARENT = """
import asyncio, gc, os, sys, threading, time, tyvo, warnings
from datetime import timedelta
warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+: fork() of a process with threads

s = tyvo.Scheduler()
runs = []
async def tick(): runs.append(1)
loop = asyncio.new_event_loop()
async def serve():
    await s.schedule(tick, tyvo.Trigger.Interval(timedelta(milliseconds=10)), id="tick")
    await s.start()
async def stop(): await s.shutdown()
serving = threading.Thread(target=loop.run_until_complete, args=(serve(),))
serving.start()
for _ in range(1000):
    if len(runs) >= 3: break
    time.sleep(0.01)
pid = os.fork()
if pid == 0:
{child}
    os._exit(0)
_, status = os.waitpid(pid, 0)
print("child exit", os.waitstatus_to_exitcode(status))
before = len(runs)
time.sleep(0.3)
print("parent runs on", len(runs) > before)
asyncio.run_coroutine_threadsafe(stop(), loop).result(15)
serving.join(15)
print("parent done", not serving.is_alive())
"""


def run_forking_parent(child, timeout=60):
    code = FORKING_PARENT.replace("{child}", "\n".join("    " + line for line in child.strip().splitlines()))
    result = run_python(code, timeout=timeout)
    assert result.returncode == 0, f"exit {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr[-3000:]}"
    assert "parent runs on True" in result.stdout
    assert "parent done True" in result.stdout
    return result


CHILD_ENDINGS = {
    # Dropping the copy closes its channels: the parent's supervisor, copied into the child, must
    # not wake up there (it would stop job tasks whose timers live in the parent's timer queue,
    # and say so in a log record).
    "drops it and collects": ("""
import logging
records = []
class Spy(logging.Handler):
    def emit(self, record): records.append(record.getMessage())
logging.getLogger("tyvo").addHandler(Spy())
del s
gc.collect()
time.sleep(0.3)
os._exit(8 if records else 7)
""", 7),
    # The interpreter's teardown drops the scheduler.
    "sys.exit": ("time.sleep(0.1)\nsys.exit(5)", 5),
    "os._exit": ("os._exit(3)", 3),
}


@pytest.mark.parametrize("ending", list(CHILD_ENDINGS))
def test_a_child_ends_cleanly_whatever_it_does_with_the_inherited_scheduler(ending):
    child, status = CHILD_ENDINGS[ending]
    result = run_forking_parent(child)
    assert f"child exit {status}" in result.stdout, result.stderr[-3000:]


def test_the_inherited_scheduler_refuses_to_be_used_and_a_new_one_runs_jobs():
    result = run_forking_parent("""
async def child_main():
    message = "scheduler was started in the parent process; create a new Scheduler in this process"
    calls = {
        "schedule": lambda: s.schedule(tick, tyvo.Trigger.Interval(timedelta(seconds=1))),
        "start": s.start, "shutdown": s.shutdown,
        "pause": lambda: s.pause("tick"), "resume": lambda: s.resume("tick"),
    }
    refused = []
    for name, call in calls.items():
        try:
            call()
        except Exception as error:
            if type(error) is Exception and str(error) == message:
                refused.append(name)
            else:
                print(name, "raised", repr(error), file=sys.stderr)
    if len(refused) != len(calls):
        print("refused only", refused, file=sys.stderr)
        return False
    mine = tyvo.Scheduler()
    own_runs = []
    async def own(): own_runs.append(1)
    await mine.schedule(own, tyvo.Trigger.Interval(timedelta(milliseconds=10)))
    own_runner = asyncio.ensure_future(mine.start())
    for _ in range(500):
        if len(own_runs) >= 3: break
        await asyncio.sleep(0.01)
    await mine.shutdown()
    await asyncio.wait_for(own_runner, 15)
    return len(own_runs) >= 3
ok = asyncio.run(child_main())
del s
gc.collect()
os._exit(6 if ok else 1)
""")
    assert "child exit 6" in result.stdout, result.stderr[-3000:]


def test_a_scheduler_made_but_not_started_before_the_fork_works_in_the_child(python):
    result = python("""
import asyncio, os, sys, tyvo, warnings
from datetime import timedelta
warnings.simplefilter("ignore", DeprecationWarning)
s = tyvo.Scheduler()
async def warm_up():  # the parent's worker threads exist when it forks
    other = tyvo.Scheduler()
    await other.schedule(tick, tyvo.Trigger.Interval(timedelta(hours=1)))
    runner = asyncio.ensure_future(other.start())
    await asyncio.sleep(0.05)
    await other.shutdown()
    await asyncio.wait_for(runner, 15)
runs = []
async def tick(): runs.append(1)
asyncio.run(warm_up())
pid = os.fork()
if pid == 0:
    async def main():
        await s.schedule(tick, tyvo.Trigger.Interval(timedelta(milliseconds=10)))
        runner = asyncio.ensure_future(s.start())
        for _ in range(500):
            if len(runs) >= 3: break
            await asyncio.sleep(0.01)
        await s.shutdown()
        await asyncio.wait_for(runner, 15)
    asyncio.run(main())
    os._exit(0 if len(runs) >= 3 else 1)
_, status = os.waitpid(pid, 0)
print("child exit", os.waitstatus_to_exitcode(status))
""")
    assert "child exit 0" in result.stdout


def test_a_child_that_goes_on_running_the_loop_does_not_make_the_parents_runs(python):
    # The loop is blocked when the parent forks from it, so a run that a worker has just handed
    # over waits in its queue; the child, which goes on running its copy of that loop, must drop
    # it rather than run the parent's handler a second time. That is all tyvo promises such a
    # child, on every version: from 3.14 on asyncio no longer resumes tasks on an inherited loop
    # (the child's own coroutine stays suspended below), so the child works with plain callbacks
    # and gives its verdict from one. The alarm turns a hang into a failure.
    result = python("""
import asyncio, os, signal, sys, time, tyvo, warnings
from datetime import timedelta
warnings.simplefilter("ignore", DeprecationWarning)
runs = []
async def tick(): runs.append(os.getpid())
def verdict():
    os._exit(9 if os.getpid() in runs else 0)
async def main():
    loop = asyncio.get_running_loop()
    s = tyvo.Scheduler()
    await s.schedule(tick, tyvo.Trigger.Interval(timedelta(milliseconds=10)))
    runner = asyncio.ensure_future(s.start())
    while len(runs) < 3:
        await asyncio.sleep(0.01)
    time.sleep(0.3)
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)
        loop.call_later(0.3, verdict)
        await loop.create_future()
    _, status = os.waitpid(pid, 0)
    print("child exit", os.waitstatus_to_exitcode(status))
    await s.shutdown()
    await asyncio.wait_for(runner, 15)
asyncio.run(main())
""")
    assert "child exit 0" in result.stdout, result.stdout
