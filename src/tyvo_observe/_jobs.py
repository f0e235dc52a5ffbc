"""What each job of a scheduler is doing, will do next and did last."""

from __future__ import annotations

import datetime
from dataclasses import dataclass
from typing import Literal, cast

import tyvo

from tyvo_observe._native import job_states

@dataclass(frozen=True, slots=True)
class JobState:
    """One job as `jobs()` found it. Times are aware UTC datetimes."""

    job_id: str
    trigger: tyvo.Trigger
    # False while the job is paused, before its scheduler starts and after it shut the job down.
    active: bool
    # A run is in progress.
    running: bool
    # The next due time: the next cron occurrence; for an interval job the end of its last run
    # plus the interval. None while an interval job's run is in progress, or when there is none.
    next_fire: datetime.datetime | None
    last_due: datetime.datetime | None
    last_started: datetime.datetime | None
    last_ended: datetime.datetime | None
    last_outcome: Literal["returned", "raised", "cancelled"] | None


def jobs(scheduler: tyvo.Scheduler) -> list[JobState]:
    """One JobState per job registered on `scheduler`, in registration order (a job scheduled
    again under its id counts as registered then). Reads what each job's task keeps, without
    waiting for it or for the scheduler; any thread may call it. A job scheduled before
    tyvo_observe was imported keeps no state: only its trigger and `active` are known. TypeError for anything but a tyvo.Scheduler; RuntimeError
    ("Already mutably borrowed") while another thread is inside schedule() or start() of the
    same scheduler."""
    return [JobState(job_id, trigger, active, running, next_fire, last_due, last_started, last_ended,
                     cast('Literal["returned", "raised", "cancelled"] | None', last_outcome))
            for (job_id, trigger, active, running, next_fire, last_due, last_started, last_ended, last_outcome)
            in job_states(scheduler)]
