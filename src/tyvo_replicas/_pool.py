"""A small pool of connections on one event loop that never waits for a server it gave up on.

Each call has a connection to itself. A call that fails, or is cancelled because its caller's
time ran out, abandons its connection at once: the socket is torn down without a goodbye, so
nothing waits for a hung server or a silent network to acknowledge anything."""

import asyncio
import logging
import time
from collections import deque
from collections.abc import Awaitable, Callable
from contextvars import ContextVar
from typing import Generic, TypeVar

C = TypeVar("C")
R = TypeVar("R")

logger = logging.getLogger("tyvo.replicas")

# A connection that does not close cleanly within this long is torn down.
CLOSE_WAIT = 2.0

# When the caller of a store gives up (time.monotonic()), if it says so: a store can then fail
# a step it recognises as stuck with a clearer error than the caller's timeout.
DEADLINE: ContextVar[float | None] = ContextVar("tyvo_replicas.deadline", default=None)


# Set by a caller that wants to know when its call reached a connection (time.monotonic()),
# after any wait for a free one: each call made for it appends its moment.
STARTED: ContextVar[list[float] | None] = ContextVar("tyvo_replicas.started", default=None)


def time_left(default: float) -> float:
    deadline = DEADLINE.get()
    return default if deadline is None else max(0.0, deadline - time.monotonic())


class Pool(Generic[C]):
    def __init__(self, owner: str, size: int, connect: Callable[[], Awaitable[C]],
                 abandon: Callable[[C], None], close: Callable[[C], Awaitable[None]]) -> None:
        self._owner, self._connect, self._abandon, self._close = owner, connect, abandon, close
        self._size, self._busy = size, 0
        # Callers waiting for a slot; urgent ones (cut-backs, which free a key for the next fire
        # time) go before the claims.
        self._waiting: deque[asyncio.Future[None]] = deque()
        self._urgent: deque[asyncio.Future[None]] = deque()
        self._idle: list[C] = []
        self._closed = False

    async def run(self, call: Callable[[C], Awaitable[R]], urgent: bool = False) -> R:
        self._check_open()
        await self._acquire(urgent)
        try:
            self._check_open()
            connection = self._idle.pop() if self._idle else await self._connect()
            started = STARTED.get()
            if started is not None:
                started.append(time.monotonic())
            try:
                result = await call(connection)
            except BaseException:
                self._abandon(connection)
                raise
            self._keep_or_abandon(connection)
            return result
        finally:
            self._release()

    async def warm(self) -> None:
        """Opens one connection ahead of need, if none is idle and a slot is free."""
        if self._idle or self._closed or self._busy >= self._size:
            return
        await self._acquire(False)
        try:
            connection = await self._connect()
            self._keep_or_abandon(connection)
        finally:
            self._release()

    async def _acquire(self, urgent: bool) -> None:
        if self._busy < self._size and not self._waiting and not self._urgent:
            self._busy += 1
            return
        waiter: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        queue = self._urgent if urgent else self._waiting
        queue.append(waiter)
        try:
            await waiter  # a slot is handed over with the result: _busy already counts it
        except BaseException:
            if waiter.done() and not waiter.cancelled():
                self._release()  # handed a slot, then cancelled: pass it on
            else:
                queue.remove(waiter)
            raise

    def _release(self) -> None:
        for queue in (self._urgent, self._waiting):
            while queue:
                waiter = queue.popleft()
                if not waiter.done():
                    waiter.set_result(None)
                    return
        self._busy -= 1

    def _keep_or_abandon(self, connection: C) -> None:
        # The pool may have been closed while the connection was in use.
        if self._closed:
            self._abandon(connection)
        else:
            self._idle.append(connection)

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError(f"this {self._owner} is closed")

    async def close(self) -> None:
        """Closes the idle connections; those in use are abandoned when their call ends."""
        self._closed = True
        idle, self._idle = self._idle, []
        await asyncio.gather(*(self._close_one(connection) for connection in idle))

    async def _close_one(self, connection: C) -> None:
        try:
            async with asyncio.timeout(CLOSE_WAIT):
                await self._close(connection)
        except BaseException as error:
            logger.debug("Closing a connection of %s failed, tearing it down: %r", self._owner, error)
            self._abandon(connection)
            if not isinstance(error, Exception):
                raise
