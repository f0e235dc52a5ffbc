"""A won claim kept alive while its run lasts, by renewals on whatever event loop keeps it.

All times are time.monotonic(): the lease may be kept on another thread's loop than the one
the run is on, and every store call is measured on this clock, never on the wall clock."""

import asyncio
import logging
import math
import os
import threading
import time
from collections.abc import Awaitable, Callable
from datetime import timedelta

logger = logging.getLogger("tyvo.replicas")

# Renewals whose answer would come this close to the lapse are not tried: the claim is given up.
TOO_CLOSE = 0.005
# How long the end of a run waits for its renewals to stop (they are cancelled, never slow).
STOP_WAIT = 2.0


class Lease:
    def __init__(self, key: str, token: str, hold: timedelta, granted: float,
                 max_run: timedelta | None) -> None:
        self.key, self.token, self.hold = key, token, hold
        self.pid = os.getpid()
        self._seconds = hold.total_seconds()
        # Until then the claim is known to stand: the store took it no earlier than `granted`.
        self.valid_until = granted + self._seconds
        self._first_renewal = granted + self._seconds / 3
        self._stop_at = granted + max_run.total_seconds() if max_run is not None else math.inf
        self.renewal_sent = False
        self.lost = False
        self._past_max_run = False
        self._reported = False  # whether the end of renewals was logged
        # Shared between the run's thread and the keeping thread, under the lock.
        self._state = threading.Lock()
        self._stopped = False
        self._in_flight = False
        self._finished = False
        self._waiter: tuple[asyncio.AbstractEventLoop, asyncio.Future[None]] | None = None
        self._task: asyncio.Task[None] | None = None
        self._keeping_loop: asyncio.AbstractEventLoop | None = None

    def held(self) -> bool:
        return not self.lost and time.monotonic() < self.valid_until

    def attach(self, loop: asyncio.AbstractEventLoop) -> None:
        """Names the loop that will keep this lease: stop() goes through it from now on."""
        self._keeping_loop = loop

    def start(self, loop: asyncio.AbstractEventLoop,
              renew: Callable[["Lease"], Awaitable[bool]]) -> "asyncio.Task[None] | None":
        """Starts keeping this lease on `loop`; call from `loop`'s own thread. Returns None if
        the lease was stopped before it could start."""
        self._keeping_loop = loop
        with self._state:
            stopped = self._stopped
        if stopped:
            self.finish_unkept()
            return None
        self._task = loop.create_task(self._renew_until_stopped(renew))
        # A done callback, not a finally: a task cancelled before its first step runs no code.
        self._task.add_done_callback(lambda _: self.finish_unkept())
        return self._task

    def finish_unkept(self) -> None:
        with self._state:
            self._finished, waiter = True, self._waiter
        if waiter is not None:
            loop, future = waiter
            try:
                loop.call_soon_threadsafe(_resolve, future)
            except RuntimeError:  # the run's loop has closed: nobody waits any more
                pass

    async def stop(self) -> None:
        """Stops the renewals; waits only if one is in flight, until it is not."""
        loop, running = self._keeping_loop, asyncio.get_running_loop()
        if time.monotonic() >= self.valid_until and not self._past_max_run:
            # The renewal that failed may not have timed out yet on its own thread.
            self._lose("renewing it did not succeed before it lapsed")
        if loop is running and self._task is not None:
            self._task.cancel()
            await asyncio.wait([self._task])
            return
        finished = None
        with self._state:
            self._stopped = True
            if self._in_flight and not self._finished:
                finished = running.create_future()
                self._waiter = (running, finished)
        if loop is None or finished is None:
            return  # no renewal will be sent; the keeping loop drops the lease on its own
        try:
            loop.call_soon_threadsafe(self.cancel)  # ends the renewal in flight
        except RuntimeError:  # that loop has closed, and its tasks with it
            return
        await asyncio.wait([finished], timeout=STOP_WAIT)
        if not finished.done():
            logger.warning("The renewals of the claim on %s did not stop within %s s", self.key, STOP_WAIT)

    @property
    def stopped(self) -> bool:
        return self._stopped

    def cancel(self) -> None:
        """Ends the renewals at once; call on the keeping loop."""
        if self._task is not None:
            self._task.cancel()

    def close(self) -> bool:
        """Ends the renewals from the keeping loop itself, as its owner closes. Returns whether
        the lease's run was still going (its owner says so)."""
        if self._task is not None and not self._task.done() and not self._stopped:
            with self._state:
                self._reported = True
            self._task.cancel()
            return True
        return False

    async def _renew_until_stopped(self, renew: Callable[["Lease"], Awaitable[bool]]) -> None:
        period = self._seconds / 3
        next_at = self._first_renewal
        failure = None
        while True:
            await asyncio.sleep(max(0.0, min(next_at, self._stop_at) - time.monotonic()))
            if self._stopped:  # the run has ended
                return
            sent = time.monotonic()
            if sent >= self._stop_at:
                self._past_max_run = True
                logger.warning("The run of %s has lasted its max_run; its claim is no longer renewed and lapses "
                               "within %s", self.key, self.hold)
                return
            if sent >= self.valid_until - TOO_CLOSE:
                self._lose(f"renewing it failed until it lapsed: {failure}" if failure
                           else "it lapsed before it could be renewed")
                return
            with self._state:
                if self.stopped:  # the run ended just now
                    return
                self._in_flight = self.renewal_sent = True
            try:
                async with asyncio.timeout(self.valid_until - sent):
                    still_ours = await renew(self)
            except Exception as error:
                # A timeout after a clearer failure (a row lock the store gave up on) keeps that one.
                if not isinstance(error, TimeoutError):
                    failure = render(error)
                elif failure is None or failure.startswith("the store did not answer"):
                    failure = "the store did not answer in time"
                left = self.valid_until - time.monotonic()
                if left <= TOO_CLOSE:
                    self._lose(f"renewing it failed until it lapsed: {failure}")
                    return
                logger.warning("Renewing the claim on %s failed, retrying: %s", self.key, failure)
                next_at = time.monotonic() + min(period, left / 2)
                continue
            finally:
                with self._state:
                    self._in_flight = False
            if not still_ours:
                self._lose("the store no longer holds it for this run")
                return
            self.valid_until, failure = sent + self._seconds, None
            next_at = sent + period

    def _lose(self, why: str) -> None:
        with self._state:
            if self._reported:
                return
            self.lost = self._reported = True
        logger.error("Lost the claim on %s while its run goes on (%s); another replica may start "
                     "it before this run ends", self.key, why)


def _resolve(future: "asyncio.Future[None]") -> None:
    if not future.done():
        future.set_result(None)


def render(error: BaseException) -> str:
    kind = type(error)
    name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
    return f"{name}: {error}" if str(error) else name
