"""One OpenTelemetry span per job run, current while the handler runs."""

from __future__ import annotations

import datetime
from typing import TYPE_CHECKING

from tyvo_observe._native import RunEvent
from tyvo_observe._subscriptions import Subscription, subscribe

if TYPE_CHECKING:
    from opentelemetry.trace import TracerProvider


def _nanoseconds(instant: datetime.datetime) -> int:
    since_epoch = instant - datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
    return (since_epoch.days * 86_400 + since_epoch.seconds) * 1_000_000_000 + since_epoch.microseconds * 1_000


def _qualified_name(kind: type) -> str:
    module = kind.__module__
    return kind.__qualname__ if module == "builtins" else f"{module}.{kind.__qualname__}"


def opentelemetry(tracer_provider: TracerProvider | None = None) -> Subscription:
    """Makes a span "tyvo.job.run" for every run, from `tracer_provider` (default: the global
    one). Each run's span is the root of a trace of its own and is the current span inside the
    run, so spans the handler makes are its children. Attributes: tyvo.job.id, tyvo.job.due
    (ISO 8601, UTC), tyvo.job.lateness (seconds), tyvo.job.first_run, and after the nearest
    conventions faas.trigger ("timer"), faas.cron (cron jobs: the pattern), faas.time (the due
    time, ISO 8601 UTC). A run that raised has the exception recorded, error.type (the
    exception's qualified name) and status ERROR; a cancelled one error.type "cancelled" and
    status ERROR; a successful one leaves the status unset. A run a replica let pass, or one a
    drain cancelled, has tyvo.job.reason."""
    from opentelemetry import context, trace
    from opentelemetry.trace import Span, Status, StatusCode

    tracer = trace.get_tracer("tyvo_observe", tracer_provider=tracer_provider)
    spans: dict[RunEvent, Span] = {}

    def on_start(event: RunEvent) -> None:
        attributes: dict[str, str | bool | float] = {"tyvo.job.id": event.job_id, "tyvo.job.first_run": event.first,
                                                     "faas.trigger": "timer"}
        if event.due is not None:
            attributes["tyvo.job.due"] = attributes["faas.time"] = event.due.isoformat()
        cron = event.cron
        if cron is not None:
            attributes["faas.cron"] = cron
        if event.lateness is not None:
            attributes["tyvo.job.lateness"] = event.lateness
        start_time = _nanoseconds(event.started) if event.started is not None else None
        span = tracer.start_span("tyvo.job.run", context=context.Context(), kind=trace.SpanKind.INTERNAL,
                                 attributes=attributes, start_time=start_time)
        spans[event] = span
        # Called inside the run's own context, which ends with the run: never detached.
        context.attach(trace.set_span_in_context(span))

    def on_event(event: RunEvent) -> None:
        if event.kind != "run":
            return
        span = spans.pop(event, None)
        if span is None:
            return
        if event.outcome == "raised" and event.exception is not None:
            span.record_exception(event.exception)
            span.set_attribute("error.type", _qualified_name(type(event.exception)))
            span.set_status(Status(StatusCode.ERROR, f"{type(event.exception).__name__}: {event.exception}"))
        elif event.outcome == "cancelled":
            span.set_attribute("error.type", "cancelled")
            span.set_status(Status(StatusCode.ERROR, "cancelled"))
        if event.reason is not None:
            span.set_attribute("tyvo.job.reason", event.reason)
        span.end(end_time=_nanoseconds(event.ended) if event.ended is not None else None)

    return subscribe(on_event, on_start=on_start)
