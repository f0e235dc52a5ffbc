"""Where tyvo_replicas reports a fire time that a run of a job let pass on this replica."""

from __future__ import annotations

import datetime

from tyvo_observe import _subscriptions
from tyvo_observe._native import current_run, replica_skipped

_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_MICROSECOND = datetime.timedelta(microseconds=1)


def skipped(due: datetime.datetime, reason: str) -> None:
    """Called from inside a run (its own task and context): the run let the fire time `due`
    (aware) pass without doing its job's work here, for `reason`. Subscribers get a "skipped"
    event of the run's job with that reason, and the run's own "run" event carries the same
    reason. Nothing when nobody subscribed or outside a run; never raises."""
    if not _subscriptions.subscribed():
        return
    try:
        run = current_run()
        if run is None:
            return
        event = replica_skipped(run, (due - _EPOCH) // _MICROSECOND, reason)
        _subscriptions.deliver(event)
    except Exception:  # never into the run that called
        _subscriptions.report_internal("tyvo_observe could not report a skipped fire time")
