"""Job state, skip reasons and the drain at shutdown, as tyvo_observe reports them. Each scenario
runs in a fresh process: what tyvo_observe keeps is process-wide."""

from test_observe import observed


def test_job_state_follows_each_job_through_runs_pauses_and_shutdown(python):
    python(observed("""
        from tyvo_observe import JobState
        gate = asyncio.Event()
        ran = {"slow": 0, "tick": 0, "boom": 0}
        async def slow():
            ran["slow"] += 1
            await gate.wait()
        async def tick(): ran["tick"] += 1
        async def boom():
            ran["boom"] += 1
            raise ValueError("no")
        s = tyvo.Scheduler()
        await s.schedule(slow, Interval(timedelta(seconds=0.1)), id="slow")
        await s.schedule(tick, Cron("* * * * * *"), id="tick")
        await s.schedule(boom, Interval(timedelta(hours=1)), id="boom")
        before = tyvo_observe.jobs(s)
        assert [j.job_id for j in before] == ["slow", "tick", "boom"], "registration order"
        assert all(isinstance(j, JobState) for j in before)
        assert all(not j.active and not j.running and j.next_fire is None and j.last_due is None
                   and j.last_outcome is None for j in before), before
        assert before[1].trigger.expr == "* * * * * *"
        assert before[0].trigger.duration == timedelta(seconds=0.1)

        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: ran["slow"] == 1 and ran["tick"] >= 2 and ran["boom"] == 1)
        await asyncio.sleep(0.1)
        slow_state, tick_state, boom_state = tyvo_observe.jobs(s)
        now = datetime.datetime.now(datetime.timezone.utc)
        # A run in progress: an interval job has no next fire time until it ends.
        assert slow_state.active and slow_state.running and slow_state.next_fire is None
        assert slow_state.last_due <= slow_state.last_started <= now and slow_state.last_ended is None
        # A cron job: the next whole second after now.
        assert tick_state.next_fire.microsecond == 0 and tick_state.next_fire > now - timedelta(seconds=10)
        assert tick_state.next_fire <= now + timedelta(seconds=2)
        assert tick_state.last_outcome == "returned" and tick_state.last_due.tzinfo is datetime.timezone.utc
        # An interval job that ended: its end plus the interval.
        assert boom_state.last_outcome == "raised" and not boom_state.running
        assert boom_state.next_fire == boom_state.last_ended + timedelta(hours=1)
        assert boom_state.last_due <= boom_state.last_started <= boom_state.last_ended

        gate.set()
        await wait_for(lambda: tyvo_observe.jobs(s)[0].last_outcome == "returned")
        slow_state = tyvo_observe.jobs(s)[0]
        assert slow_state.next_fire == slow_state.last_ended + timedelta(seconds=0.1)
        s.pause("tick")
        assert not tyvo_observe.jobs(s)[1].active
        s.resume("tick")

        await s.shutdown()
        await runner
        after = tyvo_observe.jobs(s)
        assert all(not j.active and not j.running and j.next_fire is None for j in after), after
        assert after[2].last_outcome == "raised"

        try:
            tyvo_observe.jobs("not a scheduler")
        except TypeError as error:
            assert "Scheduler" in str(error)
        else:
            raise AssertionError("a non-scheduler is refused")
    """))


def test_jobs_is_read_while_the_handlers_hold_the_loop_and_the_scheduler_is_busy(python):
    # Read from a thread while the loop is blocked inside a handler: no wait for the scheduler.
    python(observed("""
        import threading
        read = []
        async def blocker():
            done = threading.Event()
            def reader():
                read.append(tyvo_observe.jobs(s))
                done.set()
            threading.Thread(target=reader).start()
            assert done.wait(10), "jobs() waited for the loop"
        s = tyvo.Scheduler()
        await s.schedule(blocker, Interval(timedelta(hours=1)), id="blocker")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: read)
        assert read[0][0].running and read[0][0].job_id == "blocker"
        await s.shutdown()
        await runner
    """))


def test_fire_times_that_pass_while_paused_or_overlapping_are_skipped_with_their_reason(python):
    python(observed("""
        seen = []
        tyvo_observe.subscribe(seen.append)
        async def quick(): pass
        async def slow(): await asyncio.sleep(1.5)
        s = tyvo.Scheduler()
        await s.schedule(quick, Cron("* * * * * *"), id="quick")
        await s.schedule(slow, Cron("* * * * * *"), id="slow")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: sum(e.job_id == "quick" and e.kind == "run" for e in seen) >= 2)
        s.pause("quick")
        paused_at = datetime.datetime.now(datetime.timezone.utc)
        await wait_for(lambda: sum(e.job_id == "quick" and e.kind == "skipped" for e in seen) >= 2, timeout=20)
        s.resume("quick")
        await wait_for(lambda: any(e.job_id == "slow" and e.kind == "skipped" for e in seen), timeout=20)
        await s.shutdown()
        await runner
        quick_skips = [e for e in seen if e.job_id == "quick" and e.kind == "skipped"]
        assert {e.reason for e in quick_skips} == {"paused"}, quick_skips
        assert all(e.due >= paused_at - timedelta(seconds=5) and e.due.microsecond == 0 for e in quick_skips)
        slow_skips = [e for e in seen if e.job_id == "slow" and e.kind == "skipped"]
        assert {e.reason for e in slow_skips} == {"overlap"}, slow_skips
        assert all(e.reason is None for e in seen if e.kind == "run")
    """), timeout=90)


def test_a_replica_skip_reported_from_inside_a_run_is_an_event_of_that_job(python):
    python(observed("""
        from tyvo_observe import _replica_events
        seen = []
        due_then = datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
        async def elsewhere():
            _replica_events.skipped(due_then, "claimed_elsewhere")
        async def child_task():
            async def inner(): _replica_events.skipped(due_then, "claim_lost")
            await asyncio.create_task(inner())
        async def bad_input():
            _replica_events.skipped(datetime.datetime(2030, 1, 1), "claimed_elsewhere")  # naive
            _replica_events.skipped(due_then, "no such reason")
        _replica_events.skipped(due_then, "claimed_elsewhere")  # nobody subscribed: nothing at all
        subscription = tyvo_observe.subscribe(seen.append)
        _replica_events.skipped(due_then, "claimed_elsewhere")  # outside any run: nothing
        s = tyvo.Scheduler()
        await s.schedule(elsewhere, Interval(timedelta(hours=1)), id="elsewhere")
        await s.schedule(child_task, Interval(timedelta(hours=1)), id="child")
        await s.schedule(bad_input, Interval(timedelta(hours=1)), id="bad")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: sum(e.kind == "run" for e in seen) == 3)
        await s.shutdown()
        await runner
        subscription.close()
        by_job = {}
        for e in seen:
            by_job.setdefault(e.job_id, []).append(e)
        skip, run = by_job["elsewhere"][:2]
        assert (skip.kind, skip.reason, skip.due) == ("skipped", "claimed_elsewhere", due_then)
        assert (run.kind, run.reason, run.outcome) == ("run", "claimed_elsewhere", "returned")
        skip, run = by_job["child"][:2]
        assert (skip.kind, skip.reason, run.reason) == ("skipped", "claim_lost", "claim_lost")
        bad = [e for e in by_job["bad"] if e.kind != "ended"]
        assert [(e.kind, e.reason, e.outcome) for e in bad] == [("run", None, "returned")], bad
        assert not any(e.job_id not in by_job for e in seen)
    """))


def test_drain_waits_for_runs_still_going_after_shutdown_and_cancels_them_at_its_timeout(python):
    python(observed("""
        seen = []
        tyvo_observe.subscribe(seen.append)
        class Keep(logging.Handler):
            def __init__(self):
                super().__init__(level=0)
                self.records = []
            def emit(self, record):
                self.records.append(record)
        keep = Keep()
        logging.getLogger("tyvo.observe").addHandler(keep)
        finished = []
        async def short():
            await asyncio.sleep(3)
            finished.append("short")
        async def endless():
            await asyncio.sleep(3600)
        async def idle(): pass
        s = tyvo.Scheduler()
        await s.schedule(short, Interval(timedelta(hours=1)), id="short")
        await s.schedule(endless, Interval(timedelta(hours=1)), id="endless")
        await s.schedule(idle, Interval(timedelta(hours=1)), id="idle")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: sum(e.kind == "run" for e in seen) >= 1)
        await asyncio.sleep(0.1)
        await s.shutdown()
        await runner
        assert finished == [], "the runs go on after the shutdown"
        began = time.monotonic()
        cancelled = await tyvo_observe.drain(5)
        waited = time.monotonic() - began
        assert cancelled == 1 and finished == ["short"], (cancelled, finished)
        assert 4.5 <= waited < 15, waited
        await asyncio.sleep(0.1)
        runs = {e.job_id: e for e in seen if e.kind == "run"}
        assert (runs["short"].outcome, runs["short"].reason) == ("returned", None)
        assert (runs["endless"].outcome, runs["endless"].reason) == ("cancelled", "shutdown")
        assert any(r.getMessage() == "Cancelling the run of job endless still in progress at shutdown"
                   for r in keep.records), [r.getMessage() for r in keep.records]
        assert not any(j.running for j in tyvo_observe.jobs(s))
        assert await tyvo_observe.drain(0) == 0, "nothing left"
        try:
            await tyvo_observe.drain(-1)
        except ValueError:
            pass
        else:
            raise AssertionError("a negative timeout is refused")
    """))
