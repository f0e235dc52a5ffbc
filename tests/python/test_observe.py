"""Run events as subscribers see them, and the Prometheus, OpenTelemetry and logging integrations
made from them. Each scenario runs in a fresh process: subscribers are process-wide."""

from scenario import scenario

from test_typing import TYPING, run as run_python_tool

OBSERVE = """
import threading
import tyvo_observe

def on_the_loop(loop, seen):
    def record(event):
        seen.append(event)
        assert asyncio.get_running_loop() is loop
        assert threading.get_ident() == loop_thread
    return record

loop_thread = threading.get_ident()
"""


def observed(body):
    """A scenario that also sees tyvo_observe and the helpers above."""
    return scenario(body).replace("import tyvo\n", "import tyvo\n" + OBSERVE, 1)


def test_interval_runs_report_every_outcome_in_order_with_exact_due_times(python):
    python(observed("""
        loop = asyncio.get_running_loop()
        seen, starts = [], []
        subscription = tyvo_observe.subscribe(on_the_loop(loop, seen), on_start=starts.append)
        async def work(): await asyncio.sleep(0.02)
        async def boom(): raise ValueError("deep problem")
        async def cancelled():
            asyncio.current_task().cancel()
            await asyncio.sleep(1)
        s = tyvo.Scheduler()
        for handler in (work, boom, cancelled):
            await s.schedule(handler, Interval(timedelta(seconds=0.2)), id=handler.__name__)
        began = datetime.datetime.now(datetime.timezone.utc)
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: all(sum(e.job_id == j and e.kind == "run" for e in seen) >= 3
                                   for j in ("work", "boom", "cancelled")))
        await s.shutdown()
        await runner
        await wait_for(lambda: sum(e.kind == "ended" for e in seen) == 3)
        subscription.close()

        for job, outcome in (("work", "returned"), ("boom", "raised"), ("cancelled", "cancelled")):
            events = [e for e in seen if e.job_id == job]
            runs = [e for e in events if e.kind == "run"]
            assert [e.kind for e in events] == ["run"] * len(runs) + ["ended"], events
            assert events[-1].reason == "shutdown"
            assert [e.first for e in runs] == [True] + [False] * (len(runs) - 1)
            assert runs[0].due >= began - timedelta(seconds=1) and runs[0].due.tzinfo is datetime.timezone.utc
            for run in runs:
                assert run.outcome == outcome
                assert run.due <= run.started <= run.ended
                assert run.due_monotonic <= run.started_monotonic <= run.ended_monotonic <= time.monotonic()
                assert abs(run.lateness - (run.started_monotonic - run.due_monotonic)) < 1e-6
                assert abs(run.duration - (run.ended_monotonic - run.started_monotonic)) < 1e-6
            # The next fire time counts from the end of the run, on both clocks.
            for previous, run in zip(runs, runs[1:]):
                assert run.due == previous.ended + timedelta(seconds=0.2), (previous.ended, run.due)
                assert abs(run.due_monotonic - previous.ended_monotonic - 0.2) < 1e-6
            started_runs = [e for e in starts if e.job_id == job]
            assert started_runs[:len(runs)] == runs, "on_start gets the same event objects first"

        boom = next(e for e in seen if e.job_id == "boom")
        assert isinstance(boom.exception, ValueError) and str(boom.exception) == "deep problem"
        assert boom.exception.__traceback__ is not None
        frames = []
        tb = boom.exception.__traceback__
        while tb is not None:
            frames.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        assert "boom" in frames, frames
        cancelled_run = next(e for e in seen if e.job_id == "cancelled")
        assert isinstance(cancelled_run.exception, asyncio.CancelledError)
        assert next(e for e in seen if e.job_id == "work").exception is None
        # tyvo's own records are as they always were: one line, no exception information.
        errors = [m for level, m in logs() if level == 40]
        assert "Failed to execute job boom: ValueError: deep problem" in errors
    """))


def test_cron_runs_are_due_at_fire_times_and_every_fire_time_passed_over_is_reported(python):
    python(observed("""
        loop = asyncio.get_running_loop()
        seen = []
        tyvo_observe.subscribe(on_the_loop(loop, seen))
        async def slow(): await asyncio.sleep(1.4)
        s = tyvo.Scheduler()
        await s.schedule(slow, Cron("* * * * * *"), id="slow")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: sum(e.kind == "run" for e in seen) >= 4, timeout=30)
        await s.shutdown()
        await runner
        events = [e for e in seen if e.kind != "ended"]
        runs = [e for e in events if e.kind == "run"]
        assert runs[0].first and runs[0].kind == "run"
        later = events[1:]
        assert all(e.due.microsecond == 0 for e in later), "fire times are whole seconds"
        # After the first run every second is accounted for, once: run or skipped, in order.
        seconds = [int(e.due.timestamp()) for e in later]
        assert seconds == list(range(seconds[0], seconds[0] + len(seconds))), [(e.kind, e.due) for e in later]
        assert any(e.kind == "skipped" for e in later)
        # A fire time is skipped only while the run before it was going.
        previous = runs[0]
        for e in later:
            if e.kind == "skipped":
                assert previous.due < e.due <= previous.ended, (previous, e)
                assert e.started is None and e.outcome is None and not e.first
            else:
                assert e.due > previous.ended - timedelta(seconds=1)
                previous = e
    """), timeout=90)


def test_a_job_task_that_ends_says_why(python):
    python(observed("""
        loop = asyncio.get_running_loop()
        seen = []
        tyvo_observe.subscribe(on_the_loop(loop, seen))
        async def once(): pass
        async def needs_an_argument(x): pass
        s = tyvo.Scheduler()
        await s.schedule(once, Cron("0 0 30 2 *"), id="never-again")
        await s.schedule(needs_an_argument, Interval(timedelta(seconds=0.1)), id="cannot-start")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: sum(e.kind == "ended" for e in seen) == 2)
        ended = {e.job_id: e for e in seen if e.kind == "ended"}
        assert ended["never-again"].reason == "exhausted"
        assert [e.kind for e in seen if e.job_id == "never-again"] == ["run", "ended"]
        assert ended["cannot-start"].reason == "failed"
        assert isinstance(ended["cannot-start"].exception, TypeError)
        assert [e.kind for e in seen if e.job_id == "cannot-start"] == ["ended"]
        await s.shutdown()
        await runner
    """), timeout=60)


def test_context_set_at_start_reaches_the_handler_and_no_other_run(python):
    python(observed("""
        import contextvars
        mark = contextvars.ContextVar("mark", default=None)
        before, inside = [], []
        def on_start(event):
            before.append(mark.get())
            mark.set(event)
        tyvo_observe.subscribe(lambda event: None, on_start=on_start)
        async def work(): inside.append(mark.get())
        s = tyvo.Scheduler()
        await s.schedule(work, Interval(timedelta(seconds=0.05)), id="work")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(inside) >= 3)
        await s.shutdown()
        await runner
        assert before[:3] == [None, None, None], "each run starts in a fresh context"
        assert all(e is not None and e.job_id == "work" for e in inside)
        assert len(set(map(id, inside[:3]))) == 3
    """))


def test_failing_subscribers_are_reported_and_change_nothing_else(python):
    python(observed("""
        loop = asyncio.get_running_loop()
        reported = []
        loop.set_exception_handler(lambda loop, context: reported.append(context))
        def broken(event): raise RuntimeError("subscriber bug")
        def broken_start(event): raise KeyError("start bug")
        seen = []
        tyvo_observe.subscribe(broken, on_start=broken_start)
        tyvo_observe.subscribe(seen.append)
        runs = []
        async def work(): runs.append(1)
        s = tyvo.Scheduler()
        await s.schedule(work, Interval(timedelta(seconds=0.05)), id="work")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(runs) >= 3 and len(seen) >= 3)
        await s.shutdown()
        await runner
        failures = [type(c["exception"]).__name__ for c in reported]
        assert "RuntimeError" in failures and "KeyError" in failures, reported
        assert all(level != 40 for level, _ in logs()), logs()
    """))


def test_events_stop_when_the_last_subscription_closes(python):
    python(observed("""
        seen = []
        runs = []
        async def work(): runs.append(1)
        s = tyvo.Scheduler()
        await s.schedule(work, Interval(timedelta(seconds=0.05)), id="work")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(runs) >= 3)
        assert seen == []
        async def joins(): pass
        with tyvo_observe.subscribe(seen.append) as subscription:
            await s.schedule(joins, Interval(timedelta(hours=1)), id="joins")
            await wait_for(lambda: len(seen) >= 3 and any(e.job_id == "joins" for e in seen))
        assert subscription.closed
        assert [e.first for e in seen if e.job_id == "joins"] == [True], "joining runs at once, as a first run"
        assert not any(e.first for e in seen if e.job_id == "work")
        count = len(seen)
        runs_then = len(runs)
        await wait_for(lambda: len(runs) >= runs_then + 5)
        assert len(seen) == count, "no event after close()"
        await s.shutdown()
        await runner
    """))


def test_log_failures_logs_each_failed_run_with_its_traceback_and_job_id(python):
    python(observed("""
        import traceback
        class Keep(logging.Handler):
            def __init__(self):
                super().__init__(level=0)
                self.records = []
            def emit(self, record):
                self.records.append(record)
        keep = Keep()
        failures = logging.getLogger("failures")
        failures.addHandler(keep)
        failures.propagate = False
        tyvo_observe.log_failures(failures)
        async def fine(): pass
        async def deep():
            def inner(): raise ValueError("deep problem")
            inner()
        s = tyvo.Scheduler()
        await s.schedule(deep, Interval(timedelta(seconds=0.05)), id="deep")
        await s.schedule(fine, Interval(timedelta(seconds=0.05)), id="fine")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(keep.records) >= 2)
        await s.shutdown()
        await runner
        record = keep.records[0]
        assert record.levelno == logging.ERROR and record.job_id == "deep"
        assert record.exc_info[0] is ValueError
        text = "".join(traceback.format_exception(*record.exc_info))
        assert "in inner" in text and "deep problem" in text, text
        assert all(r.job_id == "deep" for r in keep.records)
        native = [m for level, m in logs() if level == 40]
        assert "Failed to execute job deep: ValueError: deep problem" in native
    """))


def test_prometheus_exposition_after_a_few_runs(python):
    python(observed("""
        from prometheus_client import CollectorRegistry, generate_latest
        from prometheus_client.parser import text_string_to_metric_families
        registry = CollectorRegistry()
        tyvo_observe.prometheus(registry)
        runs = {"ok": 0, "boom": 0}
        async def ok(): runs["ok"] += 1
        async def boom():
            runs["boom"] += 1
            raise ValueError("no")
        async def slow(): await asyncio.sleep(1.5)
        s = tyvo.Scheduler()
        await s.schedule(ok, Interval(timedelta(seconds=0.05)), id="ok")
        await s.schedule(boom, Interval(timedelta(seconds=0.05)), id="boom")
        await s.schedule(slow, Cron("* * * * * *"), id="slow")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: runs["ok"] >= 5 and runs["boom"] >= 3)
        await asyncio.sleep(2.0)   # slow's first run ends, passing over a fire time or more
        s.pause("boom")
        # The job-state gauges, read at scrape time.
        live = {f.name: f for f in text_string_to_metric_families(generate_latest(registry).decode())}
        def gauge(name, **labels):
            found = [x for x in live[name].samples if all(x.labels.get(k) == v for k, v in labels.items())]
            assert len(found) == 1, (name, labels, live[name].samples)
            return found[0].value
        now = time.time()
        # Generous margins: on a busy machine a fire time may be due and not yet run.
        # An interval job has no next fire time while its run is going: "ok" runs back to back.
        ok_next = [x.value for x in live["tyvo_job_next_fire_timestamp_seconds"].samples
                   if x.labels["job_id"] == "ok"]
        assert all(now - 10 <= value <= now + 1 for value in ok_next), ok_next
        slow_next = gauge("tyvo_job_next_fire_timestamp_seconds", job_id="slow")
        assert slow_next == int(slow_next) and now - 10 <= slow_next <= now + 2, (slow_next, now)
        assert now - 10 <= gauge("tyvo_job_last_fire_timestamp_seconds", job_id="ok") <= now
        assert gauge("tyvo_job_paused", job_id="boom") == 1 and gauge("tyvo_job_paused", job_id="ok") == 0
        assert gauge("tyvo_job_info", job_id="slow", trigger="* * * * * *") == 1
        assert gauge("tyvo_job_info", job_id="ok", trigger="every 0.05s") == 1
        # boom's fire times pass while it is paused
        await wait_for(lambda: (registry.get_sample_value(
            "tyvo_job_skipped_fire_times_total", {"job_id": "boom", "reason": "paused"}) or 0) >= 1, timeout=30)
        await s.shutdown()
        await runner
        await asyncio.sleep(0.3)
        families = {f.name: f for f in text_string_to_metric_families(generate_latest(registry).decode())}
        def samples(family, suffix="", **labels):
            return [s for s in families[family].samples
                    if s.name == family + suffix and all(s.labels.get(k) == v for k, v in labels.items())]
        def value(family, suffix="", **labels):
            found = samples(family, suffix, **labels)
            assert len(found) == 1, (family, labels, found)
            return found[0].value
        assert families["tyvo_job_runs"].type == "counter"
        ok_runs = value("tyvo_job_runs", "_total", job_id="ok", outcome="returned")
        assert ok_runs >= 5
        assert value("tyvo_job_runs", "_total", job_id="boom", outcome="raised") >= 3
        assert families["tyvo_job_lateness_seconds"].type == "histogram"
        assert value("tyvo_job_lateness_seconds", "_count", job_id="ok") == ok_runs
        bounds = [s.labels["le"] for s in samples("tyvo_job_lateness_seconds", "_bucket", job_id="ok")]
        assert float(bounds[0]) == 0.0001 and float(bounds[-2]) == 10.0 and bounds[-1] == "+Inf", bounds
        assert value("tyvo_job_lateness_seconds", "_bucket", job_id="ok", le="+Inf") == ok_runs
        assert value("tyvo_job_duration_seconds", "_count", job_id="slow") >= 1
        assert value("tyvo_job_duration_seconds", "_sum", job_id="slow") >= 1.4
        assert value("tyvo_job_skipped_fire_times", "_total", job_id="slow", reason="overlap") >= 1
        assert value("tyvo_job_skipped_fire_times", "_total", job_id="boom", reason="paused") >= 1
        assert value("tyvo_job_runs_in_progress", job_id="ok") == 0
        assert abs(value("tyvo_job_last_success_timestamp_seconds", job_id="ok") - time.time()) < 60
        assert not samples("tyvo_job_last_success_timestamp_seconds", job_id="boom")
    """), timeout=90)


def test_opentelemetry_span_per_run_with_the_handlers_spans_inside(python):
    python(observed("""
        from opentelemetry.sdk.trace import TracerProvider
        from opentelemetry.sdk.trace.export import SimpleSpanProcessor
        from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
        from opentelemetry.trace import StatusCode
        exporter = InMemorySpanExporter()
        provider = TracerProvider()
        provider.add_span_processor(SimpleSpanProcessor(exporter))
        tyvo_observe.opentelemetry(provider)
        tracer = provider.get_tracer("app")
        runs = []
        async def work():
            with tracer.start_as_current_span("inside"):
                await asyncio.sleep(0.01)
            runs.append(1)
            if len(runs) == 2:
                raise ValueError("second run fails")
        class Stop(Exception): pass
        async def cron():
            raise Stop()
        async def gone():
            asyncio.current_task().cancel()
            await asyncio.sleep(1)
        s = tyvo.Scheduler()
        await s.schedule(work, Interval(timedelta(seconds=0.05)), id="work")
        await s.schedule(cron, Cron("CRON_TZ=UTC * * * * * *"), id="cron")
        await s.schedule(gone, Interval(timedelta(hours=1)), id="gone")
        with tracer.start_as_current_span("around start"):
            runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(runs) >= 3)
        await s.shutdown()
        await runner
        await asyncio.sleep(0.2)
        spans = exporter.get_finished_spans()
        job_spans = [sp for sp in spans if sp.name == "tyvo.job.run"]
        work_spans = [sp for sp in job_spans if sp.attributes["tyvo.job.id"] == "work"]
        inner = [sp for sp in spans if sp.name == "inside"]
        assert len(job_spans) >= 3 and len(inner) >= 3
        by_id = {sp.context.span_id: sp for sp in job_spans}
        for sp in inner[:3]:
            parent = by_id[sp.parent.span_id]
            assert parent.context.trace_id == sp.context.trace_id
        assert all(sp.parent is None for sp in job_spans), "each run is a trace of its own"
        first, failed = work_spans[0], work_spans[1]
        assert first.attributes["tyvo.job.id"] == "work" and first.attributes["tyvo.job.first_run"] is True
        assert first.attributes["faas.trigger"] == "timer" and "faas.cron" not in first.attributes
        assert first.attributes["faas.time"] == first.attributes["tyvo.job.due"]
        assert "error.type" not in first.attributes and first.status.status_code == StatusCode.UNSET
        assert failed.attributes["error.type"] == "ValueError"
        cron_spans = [sp for sp in job_spans if sp.attributes["tyvo.job.id"] == "cron"]
        assert cron_spans and cron_spans[0].attributes["faas.cron"] == "CRON_TZ=UTC * * * * * *"
        assert cron_spans[0].attributes["error.type"] == "__main__.main.<locals>.Stop", cron_spans[0].attributes
        gone = [sp for sp in job_spans if sp.attributes["tyvo.job.id"] == "gone"]
        assert gone and gone[0].attributes["error.type"] == "cancelled"
        assert failed.attributes["tyvo.job.first_run"] is False
        assert first.attributes["tyvo.job.lateness"] >= 0
        datetime.datetime.fromisoformat(first.attributes["tyvo.job.due"])
        assert first.status.status_code != StatusCode.ERROR
        assert failed.status.status_code == StatusCode.ERROR
        assert [ev.name for ev in failed.events] == ["exception"]
        assert failed.events[0].attributes["exception.type"] == "ValueError"
        assert first.start_time <= first.end_time
    """))


def test_mypy_strict_accepts_the_observing_example(tmp_path):
    result = run_python_tool(["-m", "mypy", "--config-file", str(TYPING / "mypy.ini"), "--cache-dir",
                              str(tmp_path / "cache"), str(TYPING / "observe_example.py")], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    ran = run_python_tool([str(TYPING / "observe_example.py")], cwd=tmp_path, timeout=60)
    assert ran.returncode == 0, ran.stdout + ran.stderr


def test_runs_made_by_a_task_factory_start_in_their_context_too(python):
    # A factory may take the first step inside create_task (eager tasks, 3.12+): the start is then
    # noted before the task is made, and the handler still sees what on_start set.
    python(observed("""
        import contextvars
        mark = contextvars.ContextVar("mark", default=None)
        def eager_if_possible(loop, coro, **options):
            if hasattr(asyncio, "eager_task_factory"):
                return asyncio.eager_task_factory(loop, coro, **options)
            return asyncio.Task(coro, loop=loop, **options)
        asyncio.get_running_loop().set_task_factory(eager_if_possible)
        seen, inside = [], []
        tyvo_observe.subscribe(seen.append, on_start=mark.set)
        async def work(): inside.append(mark.get())  # before its first await
        s = tyvo.Scheduler()
        await s.schedule(work, Interval(timedelta(seconds=0.05)), id="work")
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(seen) >= 3)
        await s.shutdown()
        await runner
        assert inside[:3] == seen[:3], (inside, seen)
        assert all(e.started <= e.ended and e.outcome == "returned" for e in seen[:3])
    """))


def test_stub_of_the_native_part_agrees_with_it(tmp_path):
    result = run_python_tool(["-m", "mypy.stubtest", "--concise", "tyvo_observe"], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
