"""once(): a handler that runs only where its claim was won, with the claim kept while it runs."""

import asyncio
import functools
import inspect
import logging
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
from ._pool import DEADLINE
from ._store import Store

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
    returns None otherwise. Without a cron trigger, the claim stays until `hold` has passed
    since the call claimed it. A call that does not win returns None at once; if the store fails
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

    @functools.wraps(handler)
    async def run_once(*args: P.args, **kwargs: P.kwargs) -> R | None:
        token = secrets.token_hex(16)
        asked = time.monotonic()
        fire_time = None
        if fires is not None:
            now = datetime.now(timezone.utc)
            fire_time = fires.latest(now)
            if fire_time is None:
                logger.info("Skipped the run of %s at %s: its pattern has no occurrence before", key, now)
                return None
            if not _may_run(now - fire_time, catch_up):
                logger.info("Skipped the run of %s at %s: its fire time %s is past its catch-up window",
                            key, now, fire_time)
                return None
        fence = await _claim(claims, key, token, hold, asked, fire_time)
        if not fence:
            return None
        lease = Lease(key, token, hold, asked, max_run)
        if isinstance(claims, Store):
            claims._keep(lease)
        else:
            lease.start(asyncio.get_running_loop(), _renewal_of(claims))
        context = CURRENT.set(Claim(key, fire_time, int(fence), lease))
        try:
            return await handler(*args, **kwargs)
        finally:
            CURRENT.reset(context)
            await _end(claims, lease, cut_back_to, always=fires is not None)

    return run_once


def _may_run(late: timedelta, catch_up: timedelta | None) -> bool:
    return late <= ON_TIME or (catch_up is not None and late <= catch_up)


def _renewal_of(claims: Claims) -> Callable[[Lease], Awaitable[bool]]:
    async def renew(lease: Lease) -> bool:
        return await claims.renew(lease.key, lease.token, lease.hold)
    return renew


async def _claim(claims: Claims, key: str, token: str, hold: timedelta, asked: float,
                 fire_time: datetime | None) -> int | None:
    seconds = hold.total_seconds()
    wait = asyncio.timeout(min(seconds, LONGEST_WAIT) - (time.monotonic() - asked))
    deadline = DEADLINE.set(asked + min(seconds, LONGEST_WAIT))
    try:
        async with wait:
            # Stores of one's own made before fire times existed take three arguments.
            won = await (claims.claim(key, token, hold) if fire_time is None
                         else claims.claim(key, token, hold, fire_time))
    except TimeoutError:
        if not wait.expired():
            raise
        raise TimeoutError(f"the store did not answer the claim on {key!r} in time") from None
    finally:
        DEADLINE.reset(deadline)
    # The store took the claim after `asked`, so it lasts at least until asked + hold. An answer
    # that arrives later than that cannot tell whether another replica holds the key by now.
    if won and time.monotonic() >= asked + seconds:
        raise TimeoutError(f"the claim on {key!r} was answered after its hold of {hold} had passed; "
                           "the run is skipped (is the hold shorter than the store's round trip?)")
    return int(won) if won else None


async def _end(claims: Claims, lease: Lease, cut_back_to: timedelta, always: bool) -> None:
    await lease.stop()
    if not (always or lease.renewal_sent):
        return  # the claim still lapses at claim time + hold, as it was taken
    try:
        async with asyncio.timeout(min(lease.hold.total_seconds(), LONGEST_WAIT)):
            await claims.release(lease.key, lease.token, cut_back_to)
    except Exception as error:
        logger.warning("Could not shorten the claim on %s after its run, it lapses within %s: %s",
                       lease.key, lease.hold, render(error))
