"""once(): a handler that runs only where its claim was won, with the claim kept while it runs."""

import asyncio
import functools
import inspect
import logging
import os
import secrets
import time
from collections.abc import Awaitable, Callable, Coroutine
from datetime import datetime, timedelta, timezone
from typing import Any, ParamSpec, TypeVar

import tyvo

from ._claims import Claims, check_hold, check_key
from ._current import CURRENT, Claim
from ._fire import FireTimes
from ._lease import Lease, render
from ._pool import DEADLINE, STARTED
from ._report import (CLAIM_LOST, CLAIMED_ELSEWHERE, CLOCK_AHEAD, HELD_BY_PREVIOUS_RUN, OUTSIDE_CATCH_UP,
                      STORE_UNAVAILABLE, log_miss, report_skip)
from ._store import CLOCK_TOLERANCE, Decision, Store

P = ParamSpec("P")
R = TypeVar("R")

logger = logging.getLogger("tyvo.replicas")

# A store that has not answered within this long is taken as unreachable, even if the hold is
# longer: a run that waits minutes for its claim helps nobody.
LONGEST_WAIT = 30.0

# A call of a cron job up to this long after its occurrence is that occurrence's fire; a later
# one (the run tyvo makes at start(), or a loop stalled for seconds) is a catch-up.
ON_TIME = timedelta(seconds=1)


def once(
    handler: Callable[P, Awaitable[R]], claims: Claims, *, key: str, hold: timedelta,
    trigger: tyvo.Trigger | None = None, catch_up: timedelta | None = None,
    max_run: timedelta | None = None,
) -> Callable[P, Coroutine[Any, Any, R | None]]:
    """Returns an `async def` function that runs `handler` only if it wins the claim on `key`.

    Each call claims `key` in `claims` for `hold`; the claim is renewed while the handler runs.
    With a cron `trigger`, the call belongs to the latest occurrence at or before it and wins only
    if no call anywhere has claimed that occurrence or a later one and no run of `key` is going
    on; the claim ends with the run. A call more than a second after its occurrence (the run
    made at start()) is a catch-up: it claims only within `catch_up` of its occurrence and
    returns None otherwise. A fire time ahead of the store's clock by more than a second, or from
    before the moment since which the store has kept its claims, is refused. Without a cron
    trigger, the claim stays until `hold` has passed since the call claimed it. Every call that
    lets its fire time pass is reported to tyvo_observe with its reason, and logged (rate-limited)
    unless another replica has the fire time. A call that does not win returns None at once; if the store fails
    or does not answer in time, the call raises and the handler is not called. `max_run` bounds
    how long one run keeps its claim."""
    if not inspect.iscoroutinefunction(handler):
        raise TypeError("handler must be an async def function")
    if not isinstance(claims, Claims):
        raise TypeError(f"claims must implement tyvo_replicas.Claims, not {type(claims).__name__}")
    key = check_key(key)
    hold = check_hold(hold)
    fires = None
    if isinstance(trigger, tyvo.Trigger.Cron):
        fires = FireTimes(trigger.expr)
    elif trigger is not None and not isinstance(trigger, tyvo.Trigger.Interval):
        raise TypeError(f"trigger must be a tyvo.Trigger or None, not {type(trigger).__name__}")
    if catch_up is not None:
        if not isinstance(catch_up, timedelta):
            raise TypeError(f"catch_up must be a datetime.timedelta, not {type(catch_up).__name__}")
        if catch_up < timedelta(0):
            raise ValueError(f"catch_up must not be negative, got {catch_up!r}")
        if fires is None:
            raise ValueError("catch_up applies to cron triggers only; pass trigger=tyvo.Trigger.Cron(...)")
    if max_run is not None:
        max_run = check_hold(max_run, "max_run")
    # A run of a fire time gives its claim up as it ends: the fire time itself keeps others out.
    cut_back_to = timedelta(0) if fires is not None else hold

    rhythm = _Rhythm(key) if trigger is None else None
    calls = _Calls()

    @functools.wraps(handler)
    async def run_once(*args: P.args, **kwargs: P.kwargs) -> R | None:
        token = secrets.token_hex(16)
        asked = time.monotonic()
        now = datetime.now(timezone.utc)
        fire_time = None
        if rhythm is not None:
            rhythm.called(now)
        if fires is not None:
            fire_time = fires.latest(now)
            if fire_time is None:
                logger.info("Skipped the run of %s at %s: its pattern has no occurrence before", key, now)
                return None
            if not _may_run(now - fire_time, catch_up):
                if calls.first():
                    # The run tyvo makes at start(): catching up is what catch_up= asks for.
                    logger.info("Skipped the run of %s at %s: its fire time %s is past its catch-up window",
                                key, now, fire_time)
                else:
                    log_miss(key, OUTSIDE_CATCH_UP, logging.WARNING,
                             "Skipped the run of %s for fire time %s: called %.3f s after it (the event loop "
                             "was late), past its catch-up window", key, fire_time,
                             (now - fire_time).total_seconds())
                report_skip(fire_time, OUTSIDE_CATCH_UP)
                return None
        due = fire_time or now
        started: list[float] = []
        try:
            decision = await _claim(claims, key, token, hold, asked, started, fire_time)
        except _AnsweredLate:
            report_skip(due, CLAIM_LOST)
            raise
        except Exception:
            report_skip(due, STORE_UNAVAILABLE)
            raise
        if decision.fence is None:
            _refused(key, due, decision)
            return None
        if fires is not None and fire_time is not None and decision.previous is not None:
            _missed_everywhere(key, fires, decision.previous, fire_time)
        # The store took the claim once the call reached a connection, not before: a wait for a
        # free connection does not shorten the lease.
        lease = Lease(key, token, hold, started[-1] if started else asked, max_run)
        if isinstance(claims, Store):
            claims._keep(lease)
        else:
            lease.start(asyncio.get_running_loop(), _renewal_of(claims))
        context = CURRENT.set(Claim(key, fire_time, decision.fence, lease))
        try:
            return await handler(*args, **kwargs)
        finally:
            CURRENT.reset(context)
            await _end(claims, lease, cut_back_to, always=fires is not None)

    return run_once


class _AnsweredLate(TimeoutError):
    pass


def _refused(key: str, due: datetime, decision: Decision) -> None:
    reason = decision.refused or CLAIMED_ELSEWHERE
    if reason == HELD_BY_PREVIOUS_RUN:
        log_miss(key, reason, logging.WARNING,
                 "Skipped the run of %s for fire time %s: the key's previous run still holds its claim "
                 "(a run that lasts past the next fire time, or its cut-back came late)", key, due)
    elif reason == CLOCK_AHEAD:
        ahead = (due - decision.store_now).total_seconds() if decision.store_now else float("nan")
        log_miss(key, reason, logging.WARNING,
                 "Refused the run of %s for fire time %s: it is %.3f s ahead of the store's clock, more than "
                 "the %s allowed; this replica's clock runs ahead", key, due, ahead, CLOCK_TOLERANCE)
    elif reason == OUTSIDE_CATCH_UP:
        log_miss(key, reason, logging.WARNING,
                 "Skipped the run of %s for fire time %s: the store vouches for its claims only since %s "
                 "(it started then, or lost its claims), so it cannot tell whether this fire time has run",
                 key, due, decision.since)
    report_skip(due, reason)


class _Calls:
    def __init__(self) -> None:
        self._made = False

    def first(self) -> bool:
        """Whether this is the first call that asks (the one tyvo makes at start())."""
        first, self._made = not self._made, True
        return first


# At most this many fire times missed everywhere are reported one by one.
REPORTED_MISSES = 100


def _missed_everywhere(key: str, fires: FireTimes, previous: datetime, fire_time: datetime) -> None:
    """Fire times are claimed in order, so occurrences between the one claimed before and this
    one were claimed by no replica: none called them in time (all down, or their loops stalled).
    The one replica that wins the next says so."""
    missed = fires.between(previous, fire_time, REPORTED_MISSES + 1)
    if not missed:
        return
    many = len(missed) > REPORTED_MISSES
    log_miss(key, "missed_everywhere", logging.WARNING,
             "The fire times of %s after %s and before %s (%s) ran on no replica: none called them in time "
             "(replicas down, or their event loops late)", key, previous, fire_time,
             f"over {REPORTED_MISSES}" if many else len(missed))
    for due in missed[-REPORTED_MISSES:]:
        report_skip(due, OUTSIDE_CATCH_UP)


class _Rhythm:
    """Notices calls of a job without trigger= that fall on whole seconds, as a cron job's do:
    such a job keeps a hold window where a claim per fire time was most likely meant."""

    CALLS = 3
    NEAR = 0.015  # seconds after a whole second

    def __init__(self, key: str) -> None:
        self._key, self._in_a_row, self._warned = key, 0, False
        self._last_second = 0

    def called(self, now: datetime) -> None:
        if self._warned:
            return
        if now.microsecond >= self.NEAR * 1e6:
            self._in_a_row = 0  # a caller in a loop, or an interval: no cron rhythm
            return
        second = int(now.timestamp())
        if second == self._last_second:
            return
        self._last_second = second
        self._in_a_row += 1
        if self._in_a_row >= self.CALLS:
            self._warned = True
            logger.warning(
                "once() on %s: its runs fall on whole seconds, as a cron job's do, but it was given no "
                "trigger=, so its claim keeps a hold window (a clock spread larger than the hold runs a fire "
                "time once per clock); pass trigger= the job's tyvo.Trigger.Cron to claim each fire time once",
                self._key)


def _may_run(late: timedelta, catch_up: timedelta | None) -> bool:
    return late <= ON_TIME or (catch_up is not None and late <= catch_up)


def _renewal_of(claims: Claims) -> Callable[[Lease], Awaitable[bool]]:
    async def renew(lease: Lease) -> bool:
        return await claims.renew(lease.key, lease.token, lease.hold)
    return renew


async def _claim(claims: Claims, key: str, token: str, hold: timedelta, asked: float, started: list[float],
                 fire_time: datetime | None) -> Decision:
    seconds = hold.total_seconds()
    wait = asyncio.timeout(min(seconds, LONGEST_WAIT) - (time.monotonic() - asked))
    deadline = DEADLINE.set(asked + min(seconds, LONGEST_WAIT))
    noted = STARTED.set(started)
    try:
        async with wait:
            if isinstance(claims, Store):
                decision = await claims.decide(key, token, hold, fire_time)
            else:
                # Stores of one's own made before fire times existed take three arguments.
                won = await (claims.claim(key, token, hold) if fire_time is None
                             else claims.claim(key, token, hold, fire_time))
                decision = Decision(int(won) if won else None, None)
    except TimeoutError:
        if not wait.expired():
            raise
        raise TimeoutError(f"the store did not answer the claim on {key!r} in time") from None
    finally:
        STARTED.reset(noted)
        DEADLINE.reset(deadline)
    # The store took the claim after the call reached its connection, so it lasts at least until
    # then + hold. An answer that arrives later than that cannot tell whether another replica
    # holds the key by now.
    granted = started[-1] if started else asked
    if decision.fence and time.monotonic() >= granted + seconds:
        raise _AnsweredLate(f"the claim on {key!r} was answered after its hold of {hold} had passed; "
                            "the run is skipped (is the hold shorter than the store's round trip?)")
    return decision


async def _end(claims: Claims, lease: Lease, cut_back_to: timedelta, always: bool) -> None:
    if lease.pid != os.getpid():
        return  # a forked child's copy of a run: the claim and its renewals are the parent's
    await lease.stop()
    if not (always or lease.renewal_sent):
        return  # the claim still lapses at claim time + hold, as it was taken
    if isinstance(claims, Store) and claims.closed:
        return  # aclose() said that it cut this run's claim off
    try:
        async with asyncio.timeout(min(lease.hold.total_seconds(), LONGEST_WAIT)):
            await claims.release(lease.key, lease.token, cut_back_to)
    except Exception as error:
        logger.warning("Could not shorten the claim on %s after its run, it lapses within %s: %s",
                       lease.key, lease.hold, render(error))
