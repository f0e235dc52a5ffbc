"""Job run metrics for Prometheus, made from the run events."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, NamedTuple

import tyvo

from tyvo_observe._native import RunEvent, job_states, started_schedulers
from tyvo_observe._subscriptions import Subscription, subscribe

if TYPE_CHECKING:
    from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram
    from prometheus_client.core import Metric

# From 100 us (a run that starts on its tick) to 10 s (a loop blocked for that long).
LATENESS_BUCKETS = (0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                    1.0, 2.5, 5.0, 10.0)
DURATION_BUCKETS = (0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0,
                    300.0, 900.0, 3600.0)


class _JobMetrics(NamedTuple):
    returned: Counter
    raised: Counter
    cancelled: Counter
    lateness: Histogram
    duration: Histogram
    in_progress: Gauge


def _trigger_text(trigger: tyvo.Trigger) -> str:
    if isinstance(trigger, tyvo.Trigger.Cron):
        return trigger.expr
    assert isinstance(trigger, tyvo.Trigger.Interval)
    return f"every {trigger.duration.total_seconds():g}s"


class _JobStateCollector:
    """The gauges read from the job state of every started scheduler, at scrape time."""

    def collect(self) -> Iterator[Metric]:
        from prometheus_client.core import GaugeMetricFamily

        next_fire = GaugeMetricFamily("tyvo_job_next_fire_timestamp_seconds",
                                      "When the job is next due, in seconds since the epoch.", labels=["job_id"])
        last_fire = GaugeMetricFamily("tyvo_job_last_fire_timestamp_seconds",
                                      "When the job's last run was due, in seconds since the epoch.",
                                      labels=["job_id"])
        paused = GaugeMetricFamily("tyvo_job_paused", "1 while the job is paused (or shut down), else 0.",
                                   labels=["job_id"])
        info = GaugeMetricFamily("tyvo_job_info", "Each job's trigger (a cron pattern, or every N seconds).",
                                 labels=["job_id", "trigger"])
        seen: set[str] = set()
        for scheduler in started_schedulers():
            try:
                states = job_states(scheduler)
            except RuntimeError:  # a call of its own is changing it right now: next scrape
                continue
            for job_id, trigger, active, _running, due_next, last_due, _started, _ended, _outcome in states:
                if job_id in seen:  # the same id in two schedulers: the first one's
                    continue
                seen.add(job_id)
                if due_next is not None:
                    next_fire.add_metric([job_id], due_next.timestamp())
                if last_due is not None:
                    last_fire.add_metric([job_id], last_due.timestamp())
                paused.add_metric([job_id], 0.0 if active else 1.0)
                info.add_metric([job_id, _trigger_text(trigger)], 1.0)
        yield next_fire
        yield last_fire
        yield paused
        yield info

    def describe(self) -> list[Metric]:
        return []  # no scrape at registration: the names are tyvo's own


def prometheus(registry: CollectorRegistry | None = None) -> Subscription:
    """Registers tyvo's job metrics on `registry` (default: prometheus_client's global REGISTRY)
    and keeps them up to date from every job's runs; once per registry. Closing the returned
    subscription stops the updates (the metrics stay registered). The label `job_id` carries the
    job's id (`job` is the label Prometheus gives every scraped target). The gauges of the job
    state (next and last fire time, paused, info) are read at scrape time from every started
    scheduler, and cost the runs nothing."""
    from prometheus_client import REGISTRY, Counter, Gauge, Histogram

    target = REGISTRY if registry is None else registry
    runs = Counter("tyvo_job_runs", "Runs of each job that ended, by outcome (returned, raised, cancelled).",
                   ["job_id", "outcome"], registry=target)
    lateness = Histogram("tyvo_job_lateness_seconds",
                         "Seconds from a run's due time to its handler's first step.",
                         ["job_id"], buckets=LATENESS_BUCKETS, registry=target)
    duration = Histogram("tyvo_job_duration_seconds", "Seconds from a run's first step to its end.",
                         ["job_id"], buckets=DURATION_BUCKETS, registry=target)
    skipped = Counter("tyvo_job_skipped_fire_times",
                      "Fire times that passed without a run, by reason (overlap: the previous run was still "
                      "going; paused; or a replica's reason).",
                      ["job_id", "reason"], registry=target)
    in_progress = Gauge("tyvo_job_runs_in_progress", "Runs started and not yet ended.", ["job_id"],
                        registry=target)
    last_success = Gauge("tyvo_job_last_success_timestamp_seconds",
                         "When the job's last run that returned ended, in seconds since the epoch.",
                         ["job_id"], registry=target)
    target.register(_JobStateCollector())

    # The metrics' children per job, looked up once: labels() takes a lock and builds a key each time.
    # The run counters of a job start at zero for every outcome, so that rate() sees the first one.
    children: dict[str, _JobMetrics] = {}

    def of(job_id: str) -> _JobMetrics:
        found = children.get(job_id)
        if found is None:
            found = children[job_id] = _JobMetrics(
                returned=runs.labels(job_id, "returned"), raised=runs.labels(job_id, "raised"),
                cancelled=runs.labels(job_id, "cancelled"), lateness=lateness.labels(job_id),
                duration=duration.labels(job_id), in_progress=in_progress.labels(job_id))
        return found

    def on_start(event: RunEvent) -> None:
        of(event.job_id).in_progress.inc()

    def on_event(event: RunEvent) -> None:
        if event.kind == "run":
            job = of(event.job_id)
            if event.reason is not None and event.reason != "shutdown":
                # A replica let the fire time pass: counted by its "skipped" event, not as a run.
                if event.started is not None:
                    job.in_progress.dec()
                return
            outcome = event.outcome
            if outcome == "returned":
                job.returned.inc()
                ended = event.ended
                if ended is not None:  # no sample before the first success (rather than 1970)
                    last_success.labels(event.job_id).set(ended.timestamp())
            elif outcome == "raised":
                job.raised.inc()
            else:
                job.cancelled.inc()
            if event.started is not None:
                job.in_progress.dec()
                lateness_seconds, duration_seconds = event.lateness, event.duration
                if lateness_seconds is not None:
                    job.lateness.observe(lateness_seconds)
                if duration_seconds is not None:
                    job.duration.observe(duration_seconds)
        elif event.kind == "skipped":
            skipped.labels(event.job_id, event.reason or "overlap").inc()

    return subscribe(on_event, on_start=on_start)
