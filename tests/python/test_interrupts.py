"""A KeyboardInterrupt or SystemExit raised inside one of tyvo's callbacks on the loop's thread
(by a signal handler, say) leaves the loop as it would leave one of asyncio's own callbacks."""

from conftest import run_python

LOOP = """
import asyncio, signal, sys, tyvo
from datetime import timedelta

class Future(asyncio.Future):
    exit_in_cancelled = False
    def cancelled(self):
        if Future.exit_in_cancelled:
            Future.exit_in_cancelled = False
            raise SystemExit(4)
        return super().cancelled()

class Loop(asyncio.SelectorEventLoop):
    interrupt = False
    def get_task_factory(self):  # asked by tyvo as it starts a batch of runs
        if self.interrupt:
            self.interrupt = False
            signal.raise_signal(signal.SIGINT)  # the default handler raises KeyboardInterrupt here
        return super().get_task_factory()
    def create_future(self):
        return Future(loop=self)

loop = Loop()
asyncio.set_event_loop(loop)
runs = 0
async def job():
    global runs
    runs += 1
"""


def test_an_interrupt_while_runs_are_started_leaves_the_loop():
    result = run_python(LOOP + """
async def main():
    s = tyvo.Scheduler()
    await s.schedule(job, tyvo.Trigger.Interval(timedelta(hours=1)))
    loop.interrupt = True
    runner = s.start()
    await asyncio.sleep(3)
try:
    loop.run_until_complete(main())
except KeyboardInterrupt:
    print("interrupted")
    loop.run_until_complete(asyncio.sleep(0.5))
    print("runs", runs)   # the interrupted batch's run still got its task
else:
    print("not interrupted")
""", timeout=30)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["interrupted", "runs", "1"], result.stdout + result.stderr[-2000:]


def test_a_system_exit_in_an_operation_done_callback_leaves_the_loop():
    result = run_python(LOOP + """
async def main():
    s = tyvo.Scheduler()
    runner = s.start()
    await asyncio.sleep(0.1)
    Future.exit_in_cancelled = True
    runner.cancel()      # tyvo's done-callback asks the future whether it was cancelled
    await asyncio.sleep(3)
try:
    loop.run_until_complete(main())
except SystemExit as exit:
    print("exited", exit.code)
else:
    print("not exited")
""", timeout=30)
    assert result.stdout.split() == ["exited", "4"], result.stdout + result.stderr[-2000:]
