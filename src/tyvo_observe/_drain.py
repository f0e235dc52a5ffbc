"""Waiting, at shutdown, for the runs still in progress."""

from __future__ import annotations

import asyncio
import logging
from typing import Any

from tyvo_observe._native import RunEvent, cancelled_at_shutdown, runs_in_progress

_logger = logging.getLogger("tyvo.observe")

# How long cancelled runs get to unwind before drain() stops waiting for them.
_UNWIND_SECONDS = 5.0


async def drain(timeout: float | None) -> int:
    """Waits for the runs of every job on this event loop that are still in progress (after
    `await runner`, runs that started before the shutdown go on to their end). Returns when none
    is left; at `timeout` seconds (None: no limit) cancels the rest, whose events then say
    outcome "cancelled" with reason "shutdown", and waits up to 5 more seconds for them to
    unwind. Returns how many runs it cancelled. Only runs started after tyvo_observe was
    imported are known to it."""
    if timeout is not None and not timeout >= 0:
        raise ValueError(f"timeout must be None or a number >= 0, not {timeout!r}")
    loop = asyncio.get_running_loop()
    runs: dict[asyncio.Task[Any], RunEvent] = {
        task: event for event, task in runs_in_progress() if task.get_loop() is loop and not task.done()}
    if not runs:
        return 0
    _, pending = await asyncio.wait(runs, timeout=timeout)
    if not pending:
        return 0
    for task in pending:
        event = runs[task]
        _logger.warning("Cancelling the run of job %s still in progress at shutdown", event.job_id,
                        extra={"job_id": event.job_id})
        cancelled_at_shutdown(event)
        task.cancel()
    _, still = await asyncio.wait(pending, timeout=_UNWIND_SECONDS)
    for task in still:
        _logger.error("The run of job %s did not end when cancelled at shutdown", runs[task].job_id,
                      extra={"job_id": runs[task].job_id})
    return len(pending)
