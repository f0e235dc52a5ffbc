"""Shutting down, starting again, and the awaitables' cancellation."""

from scenario import scenario


def test_shutdown_stops_every_job_and_completes_start(python):
    python(scenario("""
        s = tyvo.Scheduler()
        runs = []
        async def work(): runs.append(1)
        await s.schedule(work, Interval(timedelta(seconds=0.1)), id="one")
        await s.schedule(work, Interval(timedelta(seconds=0.1)), id="two")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(runs) >= 4)
        began = time.monotonic()
        assert await s.shutdown() == ()
        assert await runner == ()
        assert time.monotonic() - began < 5
        warnings = [m for level, m in logs() if level == 30]
        assert warnings[0] == "Shutting down 2 jobs", warnings
        assert sorted(warnings[1:]) == ["Job one is now shutdown", "Job two is now shutdown"]
        assert not [m for level, m in logs() if level == 40]
        settled = len(runs)
        await asyncio.sleep(0.3)
        assert len(runs) == settled, "no run after shutdown"
        for call in (s.pause, s.resume):
            call("one")  # still registered
    """))


def test_shutdown_errors(python):
    python(scenario("""
        s = tyvo.Scheduler()
        early = s.shutdown()  # before start: decided now, whatever happens later
        try:
            await s.shutdown()
        except Exception as error:
            assert type(error) is Exception and str(error) == "scheduler is not started yet"
        runner = asyncio.ensure_future(s.start())
        try:
            await early
        except Exception as error:
            assert str(error) == "scheduler is not started yet"
        await s.shutdown()
        await runner
        try:
            await s.shutdown()
        except Exception as error:
            assert str(error) == "channel closed"
        else:
            raise AssertionError("second shutdown succeeded")
        assert not logs()[1:] or True
    """))


def test_empty_scheduler_logs_zero_and_stops_at_once(python):
    python(scenario("""
        s = tyvo.Scheduler()
        runner = asyncio.ensure_future(s.start())
        await asyncio.sleep(0.05)
        began = time.monotonic()
        await s.shutdown()
        await runner
        assert time.monotonic() - began < 0.5
        assert logs() == [(30, "Shutting down 0 jobs")]
    """))


def test_schedule_after_shutdown_records_the_job_and_restart_runs_everything(python):
    python(scenario("""
        s = tyvo.Scheduler()
        runs = {}
        async def work(name): runs[name] = runs.get(name, 0) + 1
        await s.schedule(work, Interval(timedelta(hours=1)), args=("old",), id="old")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: runs.get("old") == 1)
        s.pause("old")
        await s.shutdown()
        await runner
        try:
            await s.schedule(work, Interval(timedelta(hours=1)), args=("late",), id="late")
        except Exception as error:
            assert str(error) == "channel closed"
        else:
            raise AssertionError("handed to a finished supervisor")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: runs.get("old") == 2 and runs.get("late") == 1)
        later = await s.schedule(work, Interval(timedelta(hours=1)), args=("new",))
        await wait_for(lambda: runs.get("new") == 1)
        await s.shutdown()
        await runner
    """))


def test_rescheduling_a_running_id_stops_the_replaced_task(python):
    python(scenario("""
        s = tyvo.Scheduler()
        runs = []
        async def work(tag): runs.append(tag)
        await s.schedule(work, Interval(timedelta(seconds=0.1)), args=("first",), id="same")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: "first" in runs)
        await s.schedule(work, Interval(timedelta(seconds=0.1)), args=("second",), id="same")
        await wait_for(lambda: ("Job same is now shutdown" in [m for _, m in logs()]) and "second" in runs)
        cut = len(runs)
        await asyncio.sleep(0.4)
        assert "first" not in runs[cut:], runs
        s.pause("same")
        cut = len(runs)
        await asyncio.sleep(0.4)
        assert len(runs) <= cut + 1
        await s.shutdown()
        await runner
        assert [m for _, m in logs()].count("Shutting down 1 jobs") == 1
    """))


def test_second_start_shuts_the_first_supervisor_down(python):
    python(scenario("""
        s = tyvo.Scheduler()
        runs = []
        async def work(): runs.append(1)
        await s.schedule(work, Interval(timedelta(seconds=0.1)), id="j")
        first = asyncio.ensure_future(s.start())
        await wait_for(lambda: runs)
        second = asyncio.ensure_future(s.start())
        assert await first == ()
        await asyncio.sleep(0.3)
        cut = len(runs)
        await asyncio.sleep(0.4)
        assert len(runs) == cut, "the old task's stop leaves the job paused"
        s.resume("j")
        await wait_for(lambda: len(runs) > cut)
        await s.shutdown()
        assert await second == ()
    """))


def test_cancelling_awaitables(python):
    python(scenario("""
        s = tyvo.Scheduler()
        runs = []
        async def work(): runs.append(1)
        await s.schedule(work, Interval(timedelta(seconds=0.1)), id="j")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(runs) >= 2)
        runner.cancel()
        try:
            await runner
        except asyncio.CancelledError:
            pass
        await asyncio.sleep(0.2)
        before = len(runs)
        await wait_for(lambda: len(runs) > before)  # job tasks outlive their supervisor
        try:
            await s.shutdown()
        except Exception as error:
            assert str(error) == "channel closed"
        else:
            raise AssertionError("the dropped supervisor took a request")
        # Cancelling after the outcome is known changes nothing, and nothing is set twice.
        pending = s.shutdown()
        pending.cancel()
        await asyncio.sleep(0.1)
        assert pending.cancelled() or str(pending.exception()) == "channel closed"
    """))


def test_dropping_a_running_scheduler_shuts_its_jobs_down(python):
    python(scenario("""
        import gc
        s = tyvo.Scheduler()
        runs = []
        async def work(): runs.append(1)
        await s.schedule(work, Interval(timedelta(seconds=0.1)), id="j")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: runs)
        del s
        gc.collect()
        assert await asyncio.wait_for(runner, 5) == ()
        assert (30, "Job j is now shutdown") in logs()
    """))


def test_restart_after_shutting_down_paused_jobs_runs_every_job(python):
    python(scenario("""
        s = tyvo.Scheduler()
        runs = {}
        async def work(i): runs[i] = runs.get(i, 0) + 1
        count = 300
        for i in range(count):
            await s.schedule(work, Interval(timedelta(hours=1)), args=(i,), id=str(i))
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(runs) == count)
        for i in range(count):
            s.pause(str(i))
        began = time.monotonic()
        await s.shutdown()
        await runner
        assert time.monotonic() - began < 0.9, "paused jobs need no 1 s re-check"
        runner = asyncio.ensure_future(s.start())  # at once: no old task may switch a job off now
        await wait_for(lambda: all(n == 2 for n in runs.values()))
        await asyncio.sleep(0.2)
        for i in range(count):
            s.pause(str(i))
            s.resume(str(i))  # every job is still registered and reachable
        await s.shutdown()
        await runner
    """))


def test_a_fire_time_centuries_away_just_waits(python):
    result = python(scenario("""
        s = tyvo.Scheduler()
        runs = []
        async def work(): runs.append(1)
        await s.schedule(work, Cron("0 0 0 1 1 * 2999"), id="far")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: runs)
        await asyncio.sleep(0.5)
        began = time.monotonic()
        await s.shutdown()
        await runner
        assert runs == [1]
        assert time.monotonic() - began < 5, "its task was asleep, not dead"
        assert (30, "Job far is now shutdown") in logs()
    """))
    assert "task failed" not in result.stderr


def test_a_run_in_progress_finishes_on_the_loop_unobserved(python):
    python(scenario("""
        s = tyvo.Scheduler()
        started, finished = asyncio.Event(), []
        async def slow():
            started.set()
            await asyncio.sleep(3)
            finished.append(1)
            raise ValueError("after the stop")
        await s.schedule(slow, Interval(timedelta(hours=1)), id="slow")
        runner = asyncio.ensure_future(s.start())
        await started.wait()
        began = time.monotonic()
        await s.shutdown()
        await runner
        assert time.monotonic() - began < 2.5, "the task does not wait for its run"
        await wait_for(lambda: finished)  # the run was not cancelled
        await asyncio.sleep(0.2)
        assert not [m for level, m in logs() if level == 40], logs()
    """))


def test_two_shutdowns_at_once_both_succeed_and_the_procedure_runs_once(python):
    python(scenario("""
        s = tyvo.Scheduler()
        async def work(): await asyncio.sleep(5)  # keeps the job active at the first look
        await s.schedule(work, Interval(timedelta(hours=1)))
        runner = asyncio.ensure_future(s.start())
        await asyncio.sleep(0.2)
        first, second = s.shutdown(), s.shutdown()
        assert await first == () and await second == ()
        await runner
        assert [m for _, m in logs()].count("Shutting down 1 jobs") == 1
    """))
