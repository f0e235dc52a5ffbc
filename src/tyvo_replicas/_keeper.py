"""A thread with an event loop and connections of its own that renews the claims of runs.

Renewing on the run's own event loop fails exactly when it matters: a handler that blocks its
loop for longer than the hold (a slow synchronous call) starves its own renewals, and another
replica starts the same key. Here renewals never wait for the run's loop, nor for a claim that
queues for a connection of the run's pool."""

import asyncio
import logging
import os
import threading
from collections.abc import Awaitable, Callable
from datetime import timedelta
from typing import Generic, TypeVar

from ._lease import Lease
from ._pool import Pool

C = TypeVar("C")

logger = logging.getLogger("tyvo.replicas")

SHUTDOWN_WAIT = 5.0


class Keeper(Generic[C]):
    def __init__(self, owner: str, make_pool: Callable[[], Pool[C]],
                 renew: Callable[[C, str, str, timedelta], Awaitable[bool]]) -> None:
        self._owner, self._make_pool, self._renew = owner, make_pool, renew
        self._lock = threading.Lock()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._pid = 0
        self._closed = False
        # Touched on the keeper's loop only.
        self._pool: Pool[C] | None = None
        self._warming: asyncio.Task[None] | None = None
        self._leases: set[Lease] = set()

    def keep(self, lease: Lease) -> None:
        """Starts renewing `lease` on the keeper's thread, starting the thread if need be."""
        loop = self._running_loop()
        lease.attach(loop)
        try:
            loop.call_soon_threadsafe(self._begin, lease)
        except RuntimeError:
            lease.finish_unkept()
            raise RuntimeError(f"this {self._owner} is closed") from None

    def _running_loop(self) -> asyncio.AbstractEventLoop:
        with self._lock:
            if self._closed:
                raise RuntimeError(f"this {self._owner} is closed")
            # After a fork the child has the parent's objects but not its threads.
            if self._loop is None or self._pid != os.getpid():
                self._loop, self._pid, self._pool, self._leases = self._start_thread(), os.getpid(), None, set()
            return self._loop

    def _start_thread(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=_serve, args=(loop,), name=f"tyvo_replicas {self._owner} renewals",
                                  daemon=True)
        thread.start()
        return loop

    def _begin(self, lease: Lease) -> None:
        loop = asyncio.get_running_loop()
        if self._closed:
            lease.finish_unkept()
            return
        if self._pool is None:
            # Connected now rather than at the first renewal, a third of a hold away: on a busy
            # machine opening a connection can take a good part of that.
            self._pool = self._make_pool()
            self._warming = loop.create_task(self._warm(self._pool))
        task = lease.start(loop, self._renew_lease)
        if task is not None:
            self._leases.add(lease)
            task.add_done_callback(lambda _: self._leases.discard(lease))

    async def _warm(self, pool: Pool[C]) -> None:
        try:
            await pool.warm()
        except Exception as error:
            logger.debug("Opening the renewal connection of %s failed: %r", self._owner, error)

    async def _renew_lease(self, lease: Lease) -> bool:
        if self._pool is None:
            self._pool = self._make_pool()
        return await self._pool.run(lambda connection: self._renew(connection, lease.key, lease.token, lease.hold))

    async def aclose(self) -> None:
        """Stops every renewal (each still going is logged) and closes the keeper's connections.
        Nothing opens again: the keeper is closed for good."""
        with self._lock:
            self._closed = True
            loop = self._loop if self._pid == os.getpid() else None
            self._loop = None
        if loop is None:
            return
        try:
            done = asyncio.run_coroutine_threadsafe(self._shutdown(), loop)
        except RuntimeError:
            return
        try:
            await asyncio.wait_for(asyncio.wrap_future(done), SHUTDOWN_WAIT)
        except Exception as error:
            logger.warning("Closing the renewals of %s did not finish cleanly: %r", self._owner, error)
        loop.call_soon_threadsafe(loop.stop)

    async def _shutdown(self) -> None:
        for lease in list(self._leases):
            lease.close(f"its {self._owner} was closed")
        self._leases.clear()
        tasks = [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]
        if tasks:
            await asyncio.wait(tasks, timeout=SHUTDOWN_WAIT)
        if self._pool is not None:
            await self._pool.close()


def _serve(loop: asyncio.AbstractEventLoop) -> None:
    asyncio.set_event_loop(loop)
    try:
        loop.run_forever()
    finally:
        pending = asyncio.all_tasks(loop)
        for task in pending:
            task.cancel()
        if pending:
            loop.run_until_complete(asyncio.wait(pending))
        loop.close()
