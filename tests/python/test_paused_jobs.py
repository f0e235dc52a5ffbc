"""Paused jobs cost nothing and hold no worker; shutdown ends whatever state the jobs are in."""

import pytest

from scenario import scenario

# Held to one CPU before tyvo starts its threads, the pool has a single worker: a job that kept
# its worker would then stop everything, the shutdown included.
ONE_WORKER = "import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n"
WORKER_COUNTS = {"one worker": ONE_WORKER, "every core": ""}


@pytest.mark.parametrize("workers", WORKER_COUNTS.values(), ids=WORKER_COUNTS.keys())
def test_paused_zero_interval_jobs_cost_nothing_and_shutdown_completes(python, workers):
    python(workers + scenario("""
        import os
        s = tyvo.Scheduler()
        runs = {}
        async def work(name): runs[name] = runs.get(name, 0) + 1
        jobs = [f"z{i}" for i in range(2 * len(os.sched_getaffinity(0)) + 2)]  # more than workers
        for job in jobs:
            await s.schedule(work, Interval(timedelta(0)), args=(job,), id=job)
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: all(runs.get(job, 0) > 10 for job in jobs))
        for job in jobs:
            s.pause(job)
        await asyncio.sleep(0.3)  # runs already handed over end

        # Paused: no CPU, no runs. Measured over seconds; running back to back costs a whole core.
        counts, cpu_before, wall_before = dict(runs), time.process_time(), time.monotonic()
        await asyncio.sleep(2.0)
        cpu = (time.process_time() - cpu_before) / (time.monotonic() - wall_before)
        assert runs == counts, "a paused job ran"
        assert cpu < 0.25, f"paused jobs used {cpu:.0%} of a core"

        # resume() brings a job back at once; the others stay paused.
        s.resume(jobs[0])
        await wait_for(lambda: runs[jobs[0]] > counts[jobs[0]] + 10)
        assert all(runs[job] == counts[job] for job in jobs[1:])
        s.pause(jobs[0])

        began = time.monotonic()
        await s.shutdown()
        assert await asyncio.wait_for(runner, 20) == ()
        assert time.monotonic() - began < 5
        assert not [m for level, m in logs() if level == 40], logs()
    """), timeout=120)


@pytest.mark.parametrize("workers", WORKER_COUNTS.values(), ids=WORKER_COUNTS.keys())
def test_starting_again_over_busy_and_paused_jobs_shuts_down_in_time(python, workers):
    # Starting again stops the old tasks, which mark their jobs paused as they stop: the state the
    # zero-interval jobs are then left in must not keep the workers either.
    python(workers + scenario("""
        s = tyvo.Scheduler()
        runs = {}
        async def work(name): runs[name] = runs.get(name, 0) + 1
        ids = []
        for i in range(6):
            ids.append(await s.schedule(work, Interval(timedelta(0)), args=(i,), id=f"zero-{i}"))
        ids.append(await s.schedule(work, Interval(timedelta(milliseconds=1)), args=("ms",), id="ms"))
        ids.append(await s.schedule(work, Cron("* * * * * *"), args=("cron",), id="cron"))
        first = asyncio.ensure_future(s.start())
        await wait_for(lambda: runs.get(5, 0) > 5)
        second = asyncio.ensure_future(s.start())
        assert await asyncio.wait_for(first, 20) == ()
        await asyncio.sleep(0.5)
        for job in ids:
            s.resume(job)
        await wait_for(lambda: runs.get(0, 0) > 100)
        began = time.monotonic()
        await s.shutdown()
        assert await asyncio.wait_for(second, 20) == ()
        assert time.monotonic() - began < 5
        assert not [m for level, m in logs() if level == 40], logs()
    """), timeout=120)


def test_a_dropped_scheduler_with_paused_zero_interval_jobs_stops_its_tasks(python):
    python(ONE_WORKER + scenario("""
        import gc
        runs = []
        async def work(): runs.append(1)
        s = tyvo.Scheduler()
        for i in range(4):
            await s.schedule(work, Interval(timedelta(0)), id=f"z{i}")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(runs) > 50)
        for i in range(2):
            s.pause(f"z{i}")
        del s
        gc.collect()
        assert await asyncio.wait_for(runner, 20) == ()
        settled = len(runs)
        await asyncio.sleep(0.3)
        assert len(runs) == settled
    """), timeout=120)


def test_a_job_whose_task_has_ended_counts_as_stopped(python):
    # No further occurrence, or a handler that cannot be called: the task ends on its own, and a
    # shutdown must neither wait for it nor say it did not stop.
    python(scenario("""
        s = tyvo.Scheduler()
        runs = []
        async def work(): runs.append(1)
        async def broken(x): pass
        await s.schedule(work, Cron("0 0 0 30 2 *"), id="february-30")
        await s.schedule(work, Cron("0 0 0 1 1 * 2001"), id="past-year")
        await s.schedule(broken, Interval(timedelta(hours=1)), id="broken")
        for round in range(2):
            runner = asyncio.ensure_future(s.start())
            await wait_for(lambda: len(runs) == 2 * (round + 1) and len([1 for level, _ in logs() if level == 40]) == round + 1)
            await asyncio.sleep(0.2)
            began = time.monotonic()
            await s.shutdown()
            assert await runner == ()
            assert time.monotonic() - began < 3, time.monotonic() - began
        assert "Jobs did not complete shudown within 10 seconds" not in [m for _, m in logs()], logs()
    """), timeout=60)


def test_thousands_of_jobs_paused_or_busy_shut_down_in_time_on_one_worker(python):
    python(ONE_WORKER + scenario("""
        s = tyvo.Scheduler()
        runs = {}
        async def work(name): runs[name] = runs.get(name, 0) + 1
        paused = [f"paused-{i}" for i in range(1500)]
        busy = [f"busy-{i}" for i in range(300)]
        for job in paused:
            await s.schedule(work, Interval(timedelta(0)), args=(job,), id=job)
        for i, job in enumerate(busy):
            trigger = Interval(timedelta(milliseconds=(0, 1, 5, 20)[i % 4])) if i % 5 else Cron("* * * * * *")
            await s.schedule(work, trigger, args=(job,), id=job)
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(runs) == len(paused) + len(busy), timeout=60)
        for job in paused:
            s.pause(job)
        await asyncio.sleep(1.0)
        began = time.monotonic()
        await s.shutdown()
        assert await asyncio.wait_for(runner, 30) == ()
        assert time.monotonic() - began < 15, time.monotonic() - began
        assert not [m for level, m in logs() if level == 40], logs()[-5:]
    """), timeout=180)
