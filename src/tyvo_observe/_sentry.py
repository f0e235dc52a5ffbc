"""Sentry Crons check-ins for every job run, through the Sentry SDK."""

from __future__ import annotations

import math
from typing import Any

import tyvo

from tyvo_observe._check_ins import CheckIn, Monitor, SlugOf, check_in_runs, default_slug, trigger_of
from tyvo_observe._native import RunEvent
from tyvo_observe._subscriptions import Subscription

_NICKNAMES = {"@YEARLY": "0 0 1 1 *", "@ANNUALLY": "0 0 1 1 *", "@MONTHLY": "0 0 1 * *",
              "@WEEKLY": "0 0 * * 0", "@DAILY": "0 0 * * *", "@HOURLY": "0 * * * *"}


def sentry_schedule(trigger: tyvo.Trigger) -> tuple[dict[str, Any], str | None]:
    """A job's schedule as a Sentry monitor sees it, and the zone of its cron pattern (None:
    UTC). A seconds field is dropped: the monitor then expects a check-in in every minute that
    has a fire time (more are fine). A year field is dropped. An interval counts in whole
    minutes, rounded up."""
    if isinstance(trigger, tyvo.Trigger.Interval):
        minutes = max(1, math.ceil(trigger.duration.total_seconds() / 60))
        return {"type": "interval", "value": minutes, "unit": "minute"}, None
    assert isinstance(trigger, tyvo.Trigger.Cron)
    text = trigger.expr.strip()
    zone = None
    first, _, rest = text.partition(" ")
    for prefix in ("CRON_TZ=", "TZ="):
        if first.upper().startswith(prefix):
            zone, text = first[len(prefix):], rest.strip()
    text = _NICKNAMES.get(text.upper(), text)
    fields = [part.replace("?", "*") for part in text.split()]
    if len(fields) >= 6:
        fields = fields[1:6]
    return {"type": "crontab", "value": " ".join(fields)}, zone


class _SentryMonitor(Monitor):
    def __init__(self, checkin_margin: int | None, max_runtime: int | None) -> None:
        self._margin = checkin_margin
        self._max_runtime = max_runtime
        self._configs: dict[tuple[str, str | None], dict[str, Any]] = {}

    def _config(self, event: RunEvent) -> dict[str, Any] | None:
        key = (event.job_id, event.cron)
        config = self._configs.get(key)
        if config is None:
            trigger = trigger_of(event.job_id) if event.cron is None else tyvo.Trigger.Cron(event.cron)
            if trigger is None:
                return None  # the job went meanwhile: check in without changing the monitor
            schedule, zone = sentry_schedule(trigger)
            config = {"schedule": schedule}
            if zone is not None:
                config["timezone"] = zone
            if self._margin is not None:
                config["checkin_margin"] = self._margin
            if self._max_runtime is not None:
                config["max_runtime"] = self._max_runtime
            self._configs[key] = config
        return config

    def start(self, event: RunEvent, check_in: CheckIn) -> None:
        from sentry_sdk.crons import capture_checkin

        capture_checkin(monitor_slug=check_in.slug, check_in_id=check_in.id, status="in_progress",
                        monitor_config=self._config(event))  # type: ignore[arg-type]

    def end(self, event: RunEvent, check_in: CheckIn, ok: bool) -> None:
        from sentry_sdk.crons import capture_checkin

        capture_checkin(monitor_slug=check_in.slug, check_in_id=check_in.id, status="ok" if ok else "error",
                        duration=event.duration, monitor_config=self._config(event))  # type: ignore[arg-type]


def sentry_crons(*, slug: SlugOf = default_slug, checkin_margin: int | None = None,
                 max_runtime: int | None = None, start_after: float = 1.0) -> Subscription:
    """Checks every run in with Sentry Crons, through the Sentry SDK (`sentry_sdk.init()` first;
    extra `tyvo[sentry]`): "in_progress" once the run has gone on for `start_after` seconds
    (see below), then "ok" or "error" with its duration, under the same check-in id. Each
    check-in creates or updates the job's monitor: its schedule (the cron pattern, or the
    interval in minutes), its zone (a CRON_TZ= prefix), and the `checkin_margin` and
    `max_runtime` (minutes) given here. The slug is `slug(job_id)` (default: the job id made
    fit for a slug).

    A run that ends within `start_after` seconds has only its end checked in, with its
    duration; the delay lets a tyvo_replicas job find out whether this replica runs the fire
    time, so that only the replica that runs it checks in. A run cancelled by drain() checks in
    as "error"."""
    import sentry_sdk.crons  # noqa: F401  (fails here, not in a run, without the SDK)

    return check_in_runs(_SentryMonitor(checkin_margin, max_runtime), slug, start_after, Subscription)
