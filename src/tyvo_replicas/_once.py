"""once(): a handler that runs only where its claim was won, with the claim kept while it runs."""

import asyncio
import functools
import inspect
import logging
import secrets
from collections.abc import Awaitable, Callable, Coroutine
from datetime import timedelta
from typing import Any, ParamSpec, TypeVar

from ._claims import Claims, check_hold, check_key

P = ParamSpec("P")
R = TypeVar("R")

logger = logging.getLogger("tyvo.replicas")

# A store that has not answered within this long is taken as unreachable, even if the hold is
# longer: a run that waits minutes for its claim helps nobody.
LONGEST_WAIT = 30.0


def once(
    handler: Callable[P, Awaitable[R]], claims: Claims, *, key: str, hold: timedelta
) -> Callable[P, Coroutine[Any, Any, R | None]]:
    """Returns an `async def` function that runs `handler` only if it wins the claim on `key`.

    Each call claims `key` in `claims` for `hold`. If the key is claimed already (by any
    process, this one included) the call returns None at once. Otherwise it awaits the handler
    and returns its result (or raises its exception), renewing the claim every third of `hold`
    while the handler runs; afterwards the claim stays until `hold` has passed since the call
    claimed it. If the store fails or does not answer in time, the call raises and the handler
    is not called."""
    if not inspect.iscoroutinefunction(handler):
        raise TypeError("handler must be an async def function")
    if not isinstance(claims, Claims):
        raise TypeError(f"claims must implement tyvo_replicas.Claims, not {type(claims).__name__}")
    key = check_key(key)
    hold = check_hold(hold)

    @functools.wraps(handler)
    async def run_once(*args: P.args, **kwargs: P.kwargs) -> R | None:
        token = secrets.token_hex(16)
        loop = asyncio.get_running_loop()
        asked = loop.time()
        if not await _claim(claims, key, token, hold, asked):
            return None
        lease = _Lease(claims, key, token, hold, asked)
        try:
            return await handler(*args, **kwargs)
        finally:
            await lease.end()

    return run_once


async def _claim(claims: Claims, key: str, token: str, hold: timedelta, asked: float) -> bool:
    seconds = hold.total_seconds()
    wait = asyncio.timeout_at(asked + min(seconds, LONGEST_WAIT))
    try:
        async with wait:
            won = await claims.claim(key, token, hold)
    except TimeoutError:
        if not wait.expired():
            raise
        raise TimeoutError(f"the store did not answer the claim on {key!r} in time") from None
    # The store took the claim after `asked`, so it lasts at least until asked + hold. An answer
    # that arrives later than that cannot tell whether another replica holds the key by now.
    if won and asyncio.get_running_loop().time() >= asked + seconds:
        raise TimeoutError(f"the claim on {key!r} was answered after its hold of {hold} had passed; "
                           "the run is skipped (is the hold shorter than the store's round trip?)")
    return bool(won)


class _Lease:
    """Keeps a won claim alive while its run lasts, then lets it lapse at claim time + hold."""

    def __init__(self, claims: Claims, key: str, token: str, hold: timedelta, asked: float) -> None:
        self._claims, self._key, self._token, self._hold = claims, key, token, hold
        self._seconds = hold.total_seconds()
        # Until then the claim is known to stand: the store took it no earlier than `asked`.
        self._valid_until = asked + self._seconds
        self._renewal_sent = False
        self._loop = asyncio.get_running_loop()
        self._task = self._loop.create_task(self._keep(asked + self._seconds / 3))

    async def _keep(self, next_at: float) -> None:
        period = self._seconds / 3
        failure = None
        while True:
            await asyncio.sleep(max(0.0, next_at - self._loop.time()))
            sent = self._loop.time()
            if sent >= self._valid_until:
                self._lost(f"renewing it failed until it lapsed: {failure}" if failure
                           else "it lapsed before it could be renewed")
                return
            self._renewal_sent = True
            try:
                async with asyncio.timeout_at(self._valid_until):
                    still_ours = await self._claims.renew(self._key, self._token, self._hold)
            except Exception as error:
                failure = _render(error)
                logger.warning("Renewing the claim on %s failed, retrying: %s", self._key, failure)
                left = self._valid_until - self._loop.time()
                next_at = self._loop.time() + min(period, max(left / 2, 0.01))
                continue
            if not still_ours:
                self._lost("the store no longer holds it for this run")
                return
            self._valid_until, failure = sent + self._seconds, None
            next_at = sent + period

    def _lost(self, why: str) -> None:
        logger.error("Lost the claim on %s while its run goes on (%s); another replica may start "
                     "it before this run ends", self._key, why)

    async def end(self) -> None:
        self._task.cancel()
        await asyncio.wait([self._task])
        if not self._task.cancelled() and (error := self._task.exception()) is not None:
            logger.error("Keeping the claim on %s alive failed: %s", self._key, _render(error))
        if not self._renewal_sent:
            return  # the claim still lapses at claim time + hold, as it was taken
        try:
            async with asyncio.timeout(min(self._seconds, LONGEST_WAIT)):
                await self._claims.release(self._key, self._token, self._hold)
        except Exception as error:
            logger.warning("Could not shorten the claim on %s after its run, it lapses within %s: %s",
                           self._key, self._hold, _render(error))


def _render(error: BaseException) -> str:
    kind = type(error)
    name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
    return f"{name}: {error}" if str(error) else name
