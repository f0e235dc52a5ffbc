"""Every failed run in `logging`, with its traceback and its job id."""

from __future__ import annotations

import logging

from tyvo_observe._native import RunEvent
from tyvo_observe._subscriptions import Subscription, subscribe


def log_failures(logger: logging.Logger | None = None, *, level: int = logging.ERROR) -> Subscription:
    """Logs, on `logger` (default: "tyvo.observe"), one record for every run that raised or was
    cancelled, and for every job whose handler could not be called, with `exc_info` set to the
    exception (traceback included) and `extra={"job_id": ...}`. tyvo's own one-line record
    "Failed to execute job ..." is still written beside it."""
    target = logger if logger is not None else logging.getLogger("tyvo.observe")

    def on_event(event: RunEvent) -> None:
        if event.kind == "run" and event.outcome in ("raised", "cancelled"):
            due = event.due.isoformat() if event.due is not None else "?"
            target.log(level, "Run of job %s due %s %s", event.job_id, due, event.outcome,
                       exc_info=event.exception, extra={"job_id": event.job_id})
        elif event.kind == "ended" and event.reason == "failed":
            target.log(level, "Job %s stopped: its handler could not be started", event.job_id,
                       exc_info=event.exception, extra={"job_id": event.job_id})

    return subscribe(on_event)
