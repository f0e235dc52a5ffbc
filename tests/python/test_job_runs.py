"""What a started scheduler does with its jobs: when they run, with what, and how failures show."""

from scenario import scenario


def test_first_run_is_immediate_then_interval_counts_from_the_end_of_a_run(python):
    python(scenario("""
        s = tyvo.Scheduler()
        starts = []
        async def work(tag, *, scale):
            starts.append((time.monotonic(), tag, scale))
            await asyncio.sleep(0.3)
        await s.schedule(work, Interval(timedelta(seconds=0.2)), args=("t",), kwargs={"scale": 2})
        began = time.monotonic()
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(starts) >= 3)
        assert starts[0][0] - began < 0.5, "the first run does not wait for the interval"
        assert all(tag == "t" and scale == 2 for _, tag, scale in starts)
        gaps = [b[0] - a[0] for a, b in zip(starts, starts[1:])]
        assert all(gap >= 0.49 for gap in gaps), gaps  # 0.3 s run + 0.2 s interval
        await s.shutdown()
        assert await runner == ()
    """))


def test_runs_of_one_job_never_overlap_and_zero_interval_runs_back_to_back(python):
    python(scenario("""
        s = tyvo.Scheduler()
        running, overlap, runs = 0, [], []
        async def slow():
            nonlocal running
            running += 1
            overlap.append(running)
            await asyncio.sleep(0.05)
            running -= 1
        async def fast():
            runs.append(1)
        await s.schedule(slow, Interval(timedelta(0)))
        await s.schedule(fast, Interval(timedelta(0)))
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(overlap) >= 10 and len(runs) >= 200)
        await s.shutdown()
        await runner
        assert max(overlap) == 1
    """))


def test_cron_fires_on_whole_utc_seconds(python):
    python(scenario("""
        s = tyvo.Scheduler()
        stamps = []
        async def tick():
            stamps.append(time.time())
        await s.schedule(tick, Cron("* * * * * *"))
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(stamps) >= 4, timeout=15)
        await s.shutdown()
        await runner
        later = stamps[1:]  # the first run is immediate
        seconds = [int(t) for t in later]
        assert len(set(seconds)) == len(seconds), "two runs in one second"
        assert all(t - int(t) < 0.5 for t in later), later  # never early, rarely much late
    """), timeout=60)


def test_no_run_starts_early_while_timers_fire_densely(python):
    # Hundreds of jobs at a few milliseconds make the timer gather its wake-ups on whole
    # milliseconds; cron jobs among them still run once a second, after the second, and no
    # interval run starts before its interval has passed since the previous run ended.
    python(scenario("""
        s = tyvo.Scheduler()
        ends, early, cron_stamps = {}, [], {}
        def interval_job(key, seconds):
            async def work():
                started = time.monotonic()
                if key in ends and started - ends[key] < seconds:
                    early.append((key, started - ends[key]))
                ends[key] = time.monotonic()
            return work
        def cron_job(key):
            async def work():
                cron_stamps.setdefault(key, []).append(time.time())
            return work
        for i in range(200):
            await s.schedule(interval_job(i, 0.002), Interval(timedelta(milliseconds=2)))
        for i in range(10):
            await s.schedule(interval_job(("slow", i), 0.007), Interval(timedelta(milliseconds=7)))
        for i in range(20):
            await s.schedule(cron_job(i), Cron("* * * * * *"))
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: all(len(v) >= 4 for v in cron_stamps.values()) and len(cron_stamps) == 20,
                       timeout=30)
        await s.shutdown()
        await runner
        assert early == [], early[:10]
        for stamps in cron_stamps.values():
            later = stamps[1:]  # the first run is immediate
            seconds = [int(t) for t in later]
            assert len(set(seconds)) == len(seconds), "two runs in one second"
            # In its own second; how late within it is a matter of the machine's load.
            assert all(t - int(t) < 0.9 for t in later), later
    """), timeout=90)


def test_context_is_captured_at_start_and_fresh_for_each_run(python):
    python(scenario("""
        import contextvars
        var = contextvars.ContextVar("var", default="unset")
        var.set("from start")
        seen = []
        async def work():
            seen.append(var.get())
            var.set("changed by a run")
        s = tyvo.Scheduler()
        await s.schedule(work, Interval(timedelta(seconds=0.05)))
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(seen) >= 3)
        await s.shutdown()
        await runner
        assert set(seen) == {"from start"}, seen
    """))


def test_failures_are_logged_and_the_job_goes_on_or_stops(python):
    python(scenario("""
        s = tyvo.Scheduler()
        boom_runs = []
        async def boom():
            boom_runs.append(1)
            raise ValueError("boom")
        async def empty():
            raise KeyError()
        class Weird(Exception):
            def __str__(self):
                raise RuntimeError("no text")
        async def weird():
            raise Weird()
        async def needs_an_argument(x):
            pass
        async def returns():
            return object()
        await s.schedule(boom, Interval(timedelta(seconds=0.1)), id="boom")
        await s.schedule(empty, Interval(timedelta(hours=1)), id="empty")
        await s.schedule(weird, Interval(timedelta(hours=1)), id="weird")
        await s.schedule(needs_an_argument, Interval(timedelta(seconds=0.1)), id="sig")
        await s.schedule(returns, Interval(timedelta(seconds=0.1)), id="ret")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(boom_runs) >= 3)
        await asyncio.sleep(0.3)
        errors = [m for level, m in logs() if level == 40]
        assert errors.count("Failed to execute job boom: ValueError: boom") >= 3, errors
        assert "Failed to execute job empty: KeyError: " in errors
        assert "Failed to execute job weird: main.<locals>.Weird: <exception str() failed>" in errors
        sig = [m for m in errors if m.startswith("Failed to execute job sig: TypeError: ")]
        assert len(sig) == 1, "a run that cannot start ends the job: " + repr(errors)
        assert not any("job ret" in m for m in errors)
        s.pause("sig")  # still registered; its flag was left as it was
        await s.shutdown()
        await runner
    """))


def test_failure_records_carry_the_whole_exception_text(python):
    python(scenario("""
        s = tyvo.Scheduler()
        async def nul(): raise ValueError("before\\0after")
        async def surrogate(): raise ValueError("x\\udc80y")
        await s.schedule(nul, Interval(timedelta(hours=1)), id="nul")
        await s.schedule(surrogate, Interval(timedelta(hours=1)), id="surrogate")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len([m for level, m in logs() if level == 40]) >= 2)
        errors = [m for level, m in logs() if level == 40]
        assert "Failed to execute job nul: ValueError: before\\0after" in errors, errors
        # UTF-8 cannot carry a lone surrogate: it is written as Python writes it with backslashreplace.
        assert "Failed to execute job surrogate: ValueError: x\\\\udc80y" in errors, errors
        await s.shutdown()
        await runner
    """))


def test_pause_skips_runs_and_resume_waits_for_the_next_fire_time(python):
    python(scenario("""
        s = tyvo.Scheduler()
        a_runs, b_runs = [], []
        async def a(): a_runs.append(time.monotonic())
        async def b(): b_runs.append(time.monotonic())
        await s.schedule(a, Interval(timedelta(seconds=0.5)), id="a")
        await s.schedule(b, Interval(timedelta(seconds=0.1)), id="b")
        s.pause("a")
        s.pause("a")
        runner = asyncio.ensure_future(s.start())  # start makes every job active again
        await wait_for(lambda: len(a_runs) == 1)
        s.pause("a")
        before = len(b_runs)
        await asyncio.sleep(1.2)
        assert len(a_runs) == 1, "a paused job does not run"
        assert len(b_runs) > before + 5, "pausing one job leaves the other alone"
        resumed = time.monotonic()
        s.resume("a")
        await asyncio.sleep(0.05)
        assert len(a_runs) == 1, "resume does not run at once"
        await wait_for(lambda: len(a_runs) == 2)
        assert a_runs[1] - resumed < 1.5  # the next fire time, not a later one
        for call in (s.pause, s.resume):
            for missing in ("A", "a ", "nope"):
                try:
                    call(missing)
                except Exception as error:
                    assert type(error) is Exception and str(error) == f"Job {missing} not found"
                else:
                    raise AssertionError(missing)
        await s.shutdown()
        await runner
    """))


def test_closed_loop_stops_the_job_with_the_loop_error(python):
    python('''
import asyncio, logging, time, tyvo
from datetime import timedelta
records = []
class Collect(logging.Handler):
    def emit(self, record):
        records.append(record.getMessage())
log = logging.getLogger("tyvo"); log.setLevel(logging.DEBUG); log.addHandler(Collect())
runs = []
async def work():
    runs.append(1)
s = tyvo.Scheduler()
loop = asyncio.new_event_loop()
async def begin():
    await s.schedule(work, tyvo.Trigger.Interval(timedelta(seconds=0.3)), id="w")
    return asyncio.ensure_future(s.start())
runner = loop.run_until_complete(begin())
loop.run_until_complete(asyncio.sleep(0.1))
assert runs == [1]
runner.cancel()
loop.run_until_complete(asyncio.sleep(0))
loop.close()
deadline = time.monotonic() + 5
while not records and time.monotonic() < deadline:
    time.sleep(0.05)
assert records == ["Failed to execute job w: RuntimeError: Event loop is closed"], records
''')


def test_cron_without_a_next_occurrence_runs_once_and_reports_on_stderr(python):
    result = python(scenario("""
        s = tyvo.Scheduler()
        runs = []
        async def never(): runs.append(1)
        await s.schedule(never, Cron("0 0 30 2 *"), id="feb30")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: runs)
        await asyncio.sleep(0.3)
        assert runs == [1]
        assert not logs(), logs()
        s.pause("feb30")  # its task is gone; a paused job lets shutdown finish at once
        await s.shutdown()
        await runner
    """))
    assert "failed to find next cron time: CronScheduler time search limit exceeded." in result.stderr


def test_an_awaitable_that_is_not_one_goes_to_the_loop_handler_and_the_job_goes_on(python):
    import sys

    if sys.version_info < (3, 12):
        import pytest

        pytest.skip("inspect.markcoroutinefunction is new in 3.12")
    python(scenario("""
        import inspect
        calls, reported = [], []
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.append(context))
        def liar():
            calls.append(1)
            return 42  # claims to be async, returns no awaitable
        inspect.markcoroutinefunction(liar)
        s = tyvo.Scheduler()
        await s.schedule(liar, Interval(timedelta(seconds=0.1)), id="liar")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(calls) >= 2)
        await s.shutdown()
        await runner
        assert isinstance(reported[0]["exception"], TypeError), reported[0]
        assert (40, "Failed to execute job liar: CancelledError: ") in logs(), logs()
    """))


def test_a_stopped_loop_holds_up_only_its_own_jobs(python):
    python('''
import asyncio, threading, time, tyvo
from datetime import timedelta
every = tyvo.Trigger.Interval(timedelta(milliseconds=10))

# A loop in another thread takes thousands of runs, then stops without closing: its pending
# callbacks are never run, so its runs never start.
stopped_loop = asyncio.new_event_loop()
ran_there = []
async def there(): ran_there.append(1)
kept = []
async def fill():
    s = tyvo.Scheduler()
    kept.append(s)
    for _ in range(6000):
        await s.schedule(there, every)
    asyncio.ensure_future(s.start())
    while len(ran_there) < 6000:
        await asyncio.sleep(0.01)
    stopped_loop.stop()
threading.Thread(target=lambda: (asyncio.set_event_loop(stopped_loop), stopped_loop.run_forever()), daemon=True).start()
asyncio.run_coroutine_threadsafe(fill(), stopped_loop)
deadline = time.monotonic() + 30
while stopped_loop.is_running() or len(ran_there) < 6000:
    assert time.monotonic() < deadline, "the first loop did not get going"
    time.sleep(0.05)
time.sleep(0.5)  # its jobs' next runs are now queued on a loop that will never run them

async def here():
    s = tyvo.Scheduler()
    runs = []
    async def work(): runs.append(1)
    await s.schedule(work, every)
    runner = asyncio.ensure_future(s.start())
    began = time.monotonic()
    while len(runs) < 20:
        assert time.monotonic() - began < 10, "jobs on a running loop were held up"
        await asyncio.sleep(0.01)
    await s.shutdown()
    await runner
asyncio.run(here())
''', timeout=120)


def test_a_loop_its_thread_left_unclosed_is_closed_from_another_thread(python):
    # The loop stops with a batch of run ends still queued on it, its thread ends, and the batch
    # goes when the main thread closes the loop: nothing of the ended thread may be touched then.
    python('''
import asyncio, threading, tyvo
from datetime import timedelta
loop = asyncio.new_event_loop()
runs = []
kept = []
async def work():
    runs.append(1)
    if len(runs) == 50:
        loop.call_soon(loop.stop)  # one turn later: this run's end is queued behind the stop
async def main():
    s = tyvo.Scheduler()
    kept.append(s)
    await s.schedule(work, tyvo.Trigger.Interval(timedelta(0)))
    await s.start()
def serve():
    asyncio.set_event_loop(loop)
    try:
        loop.run_until_complete(main())
    except RuntimeError as error:
        assert "stopped" in str(error), error
thread = threading.Thread(target=serve)
thread.start()
thread.join(30)
assert not thread.is_alive() and len(runs) >= 50
# A new thread takes over the ended one's stack, and with it frees its thread-local storage.
other = threading.Thread(target=lambda: None)
other.start()
other.join()
loop.close()
''')
