"""What check-in monitors share: a check-in per run, begun a moment after the run starts, ended
with the run, and the trigger each job's monitor is set up from."""

from __future__ import annotations

import asyncio
import re
import uuid
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TypeVar

import tyvo

from tyvo_observe._native import RunEvent, job_states, started_schedulers
from tyvo_observe._subscriptions import Subscription, add

SlugOf = Callable[[str], str]


def default_slug(job_id: str) -> str:
    """The job id in lower case, every run of other characters than a-z, 0-9, "_" and "-" made
    one "-", at most 50 characters (what monitor services accept)."""
    slug = re.sub(r"[^a-z0-9_-]+", "-", job_id.lower()).strip("-")
    return slug[:50] or "job"


@dataclass(slots=True)
class CheckIn:
    """One run's check-in: its id (a UUID), and whether its start went out."""

    slug: str
    id: str = field(default_factory=lambda: str(uuid.uuid4()))
    start_sent: bool = False
    timer: asyncio.TimerHandle | None = None


class Monitor:
    """A monitor service: told when a run's check-in starts and how it ends."""

    def start(self, event: RunEvent, check_in: CheckIn) -> None:
        raise NotImplementedError

    def end(self, event: RunEvent, check_in: CheckIn, ok: bool) -> None:
        raise NotImplementedError


def trigger_of(job_id: str) -> tyvo.Trigger | None:
    """The trigger of the job with this id in a started scheduler (the first one that has it)."""
    for scheduler in started_schedulers():
        try:
            states = job_states(scheduler)
        except RuntimeError:
            continue
        for state in states:
            if state[0] == job_id:
                return state[1]
    return None


_Kind = TypeVar("_Kind", bound=Subscription)


def check_in_runs(monitor: Monitor, slug: SlugOf, start_after: float, kind: type[_Kind]) -> _Kind:
    """Subscribes `monitor` to every run. A run's check-in starts `start_after` seconds after the
    run does, if the run is still going then and no replica has let its fire time pass: under
    tyvo_replicas a replica learns only after a moment whether the fire time is its to run. A
    run that ends sooner has only its end checked in (with its duration). A run a replica let
    pass is not checked in at all (the replica that ran it checks in); if its start had gone out,
    it ends as ok for "claimed_elsewhere", as failed for a miss."""
    if not start_after >= 0:
        raise ValueError(f"start_after must be a number >= 0, not {start_after!r}")
    runs: dict[RunEvent, CheckIn] = {}

    def send_start(event: RunEvent, check_in: CheckIn) -> None:
        check_in.timer = None
        if event.reason is None and event.outcome is None:
            check_in.start_sent = True
            monitor.start(event, check_in)

    def on_start(event: RunEvent) -> None:
        check_in = CheckIn(slug(event.job_id))
        runs[event] = check_in
        check_in.timer = asyncio.get_running_loop().call_later(start_after, send_start, event, check_in)

    def on_event(event: RunEvent) -> None:
        if event.kind != "run":
            return
        check_in = runs.pop(event, None)
        if check_in is None:
            return
        if check_in.timer is not None:
            check_in.timer.cancel()
        reason = event.reason
        if reason is not None and reason != "shutdown":  # a replica let the fire time pass
            if check_in.start_sent:
                monitor.end(event, check_in, ok=reason == "claimed_elsewhere")
            return
        monitor.end(event, check_in, ok=event.outcome == "returned")

    return add(kind(on_event, on_start))
