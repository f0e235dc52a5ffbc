"""A thread with an event loop and connections of its own that renews the claims of runs.

Renewing on the run's own event loop fails exactly when it matters: a handler that blocks its
loop for longer than the hold (a slow synchronous call) starves its own renewals, and another
replica starts the same key. Here renewals never wait for the run's loop, nor for a claim that
queues for a connection of the run's pool.

Waking another thread costs a hand-over of the interpreter lock, too much to pay twice per run
when most runs end long before their first renewal. So a new lease is only put on a list, which
the keeper looks at on a tick of a sixth of the shortest hold it has seen (a lease's first
renewal is due a third of its hold after its claim); a run that ends before it was looked at
costs the keeper nothing. The keeper is woken at once only when it is not ticking yet or the
new lease's hold is shorter than its tick allows."""

import asyncio
import logging
import os
import threading
import time
from collections.abc import Awaitable, Callable
from datetime import timedelta
from typing import Generic, TypeVar

from ._lease import Lease
from ._pool import DEADLINE, Pool

C = TypeVar("C")

logger = logging.getLogger("tyvo.replicas")

SHUTDOWN_WAIT = 3.0
SHORTEST_TICK, LONGEST_TICK = 0.005, 1.0
# Ticks go on for this long after the last lease arrived, then stop until the next one.
IDLE_TICKING = 30.0


class Keeper(Generic[C]):
    def __init__(self, owner: str, make_pool: Callable[[], Pool[C]],
                 renew: Callable[[C, str, str, timedelta], Awaitable[bool]]) -> None:
        self._owner, self._make_pool, self._renew = owner, make_pool, renew
        self._lock = threading.Lock()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._pid = 0
        self._closed = False
        self._pending: list[Lease] = []
        self._tick: float | None = None  # None while the keeper is not ticking
        self._last_arrival = 0.0
        # Touched on the keeper's loop only.
        self._pool: Pool[C] | None = None
        self._warming: asyncio.Task[None] | None = None
        self._ticking: asyncio.Task[None] | None = None
        self._leases: set[Lease] = set()

    def keep(self, lease: Lease) -> None:
        """Starts renewing `lease` on the keeper's thread, starting the thread if need be."""
        loop = self._running_loop()
        lease.attach(loop)
        tick = min(LONGEST_TICK, max(SHORTEST_TICK, lease.hold.total_seconds() / 6))
        with self._lock:
            self._pending.append(lease)
            self._last_arrival = time.monotonic()
            wake = self._tick is None or tick < self._tick
            if wake:
                self._tick = tick
        if not wake:
            return
        try:
            loop.call_soon_threadsafe(self._woken)
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
                self._pending, self._tick, self._ticking = [], None, None
            return self._loop

    def _start_thread(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=_serve, args=(loop,), name=f"tyvo_replicas {self._owner} renewals",
                                  daemon=True)
        thread.start()
        return loop

    def _woken(self) -> None:
        # Woken for a first lease or a shorter tick: the tick restarts, at its new length.
        self._take_pending()
        if self._ticking is not None:
            self._ticking.cancel()
        self._ticking = asyncio.get_running_loop().create_task(self._ticks())

    async def _ticks(self) -> None:
        while True:
            with self._lock:
                tick = self._tick
            await asyncio.sleep(tick or LONGEST_TICK)
            self._take_pending()
            for lease in list(self._leases):
                if lease.stopped:  # its run ended while it waited for its next renewal
                    lease.cancel()
            with self._lock:
                if not self._pending and not self._leases and time.monotonic() - self._last_arrival > IDLE_TICKING:
                    self._tick = None
                    return

    def _take_pending(self) -> None:
        with self._lock:
            pending, self._pending = self._pending, []
        for lease in pending:
            self._begin(lease)

    def _begin(self, lease: Lease) -> None:
        loop = asyncio.get_running_loop()
        if self._closed or lease.stopped:
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
        # A renewal is worth nothing once its claim has lapsed: the store gives up waiting then too.
        deadline = DEADLINE.set(lease.valid_until)
        try:
            return await self._pool.run(lambda connection: self._renew(connection, lease.key, lease.token, lease.hold))
        finally:
            DEADLINE.reset(deadline)

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
        self._take_pending()
        cut_off = sorted(lease.key for lease in list(self._leases) if lease.close())
        self._leases.clear()
        if cut_off:
            logger.warning(
                "Closed %s while %d run(s) were still in progress (%s): their claims are no longer renewed and "
                "lapse within their hold, after which another replica may start them; await "
                "tyvo_observe.drain(timeout) before aclose() to let runs end first",
                self._owner, len(cut_off), ", ".join(cut_off))
        tasks = [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]
        for task in tasks:
            task.cancel()  # the ticks, a connection being opened, leases whose runs have ended
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
