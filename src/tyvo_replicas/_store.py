"""What RedisClaims and PostgresClaims share: a bounded pool per event loop for claims and
cut-backs, a keeper thread with connections of its own for renewals, and a final close.

A forked child gets a pool and a keeper of its own at its first use: the parent's sockets,
event loop and thread are left alone, neither used nor closed by the child."""

import os
import weakref
from collections.abc import Awaitable, Callable
from datetime import datetime, timedelta
from types import TracebackType
from typing import Generic, NamedTuple, Self, TypeVar

from ._bound import LoopBound
from ._keeper import Keeper
from ._lease import Lease
from ._pool import Pool

C = TypeVar("C")
R = TypeVar("R")

# How far a fire time may be ahead of the store's clock, or after the moment since which the store
# vouches for its claims, and still be claimed: the clocks of replicas and store may differ this much.
CLOCK_TOLERANCE = timedelta(seconds=1)

# What a claim that was not taken ran into.
REFUSALS = {0: "claimed_elsewhere", -1: "held_by_previous_run", -2: "clock_ahead", -3: "outside_catch_up"}


class Decision(NamedTuple):
    """A store's answer to a claim: the fencing token if taken, else why not; since when the
    store vouches for its claims and its clock, when it said so; the fire time claimed before."""
    fence: int | None
    refused: str | None
    since: datetime | None = None
    store_now: datetime | None = None
    # The key's latest fire time claimed before this claim, when one was taken.
    previous: datetime | None = None


def refusal(code: int) -> str | None:
    return None if code > 0 else REFUSALS[code]


_stores: "weakref.WeakSet[Store[object]]" = weakref.WeakSet()


class Store(Generic[C]):
    # Connections the keeper thread may open for renewals, per store object: a renewal held up
    # by one key (a row locked by another session) leaves the others a connection.
    renewal_connections = 1

    def __init__(self, owner: str, pool_size: int) -> None:
        self._owner, self._pool_size = owner, pool_size
        self._closed = False
        self._fresh_connections()
        _stores.add(self)  # type: ignore[arg-type]

    def _fresh_connections(self) -> None:
        self._pid = os.getpid()
        self._bound: LoopBound[Pool[C]] = LoopBound(self._owner, self._open_pool, _close_pool)
        self._keeper: Keeper[C] = Keeper(self._owner, lambda: self._new_pool(self.renewal_connections),
                                         self._renew_on)

    # What each store provides.
    async def _connect(self) -> C: raise NotImplementedError
    def _abandon(self, connection: C) -> None: raise NotImplementedError
    async def _close_connection(self, connection: C) -> None: raise NotImplementedError
    async def _prepare(self, pool: Pool[C]) -> None: return None
    async def _decide_on(self, connection: C, key: str, token: str, hold: timedelta,
                         fire_time: datetime | None) -> Decision: raise NotImplementedError
    async def _renew_on(self, connection: C, key: str, token: str, hold: timedelta) -> bool: raise NotImplementedError
    async def _release_on(self, connection: C, key: str, token: str, hold: timedelta) -> None: raise NotImplementedError

    def _new_pool(self, size: int) -> Pool[C]:
        return Pool(self._owner, size, self._connect, self._abandon, self._close_connection)

    async def _open_pool(self) -> Pool[C]:
        pool = self._new_pool(self._pool_size)
        try:
            await self._prepare(pool)
        except BaseException:
            await pool.close()
            raise
        return pool

    async def _run(self, call: Callable[[C], Awaitable[R]], urgent: bool = False) -> R:
        if self._closed:
            raise RuntimeError(f"this {self._owner} is closed")
        if self._pid != os.getpid():
            self._fresh_connections()
        pool = await self._bound.get()
        return await pool.run(call, urgent)

    async def claim(self, key: str, token: str, hold: timedelta, fire_time: datetime | None = None) -> int | None:
        return (await self.decide(key, token, hold, fire_time)).fence

    async def decide(self, key: str, token: str, hold: timedelta, fire_time: datetime | None = None) -> Decision:
        """claim(), saying why a claim was not taken. A fire time more than CLOCK_TOLERANCE ahead
        of the store's clock, or before the moment since which the store vouches for its claims
        (less CLOCK_TOLERANCE), is refused without being recorded."""
        return await self._run(lambda connection: self._decide_on(connection, key, token, hold, fire_time))

    async def renew(self, key: str, token: str, hold: timedelta) -> bool:
        return await self._run(lambda connection: self._renew_on(connection, key, token, hold))

    async def release(self, key: str, token: str, hold: timedelta) -> None:
        # Ahead of waiting claims: until it is done, the key's next fire time cannot be taken.
        await self._run(lambda connection: self._release_on(connection, key, token, hold), urgent=True)

    @property
    def closed(self) -> bool:
        return self._closed

    def _keep(self, lease: Lease) -> None:
        """Renews `lease` from the keeper thread until the lease is stopped."""
        if self._pid != os.getpid():
            self._fresh_connections()
        self._keeper.keep(lease)

    async def aclose(self) -> None:
        """Closes the connections, stops renewing claims of runs still going (logged), and
        makes every later use raise RuntimeError."""
        if self._pid != os.getpid():
            self._fresh_connections()  # the parent's connections are the parent's to close
        self._bound.check_closable()
        self._closed = True
        await self._keeper.aclose()
        await self._bound.aclose()

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.aclose()


async def _close_pool(pool: Pool[C]) -> None:
    await pool.close()



def _after_fork_in_child() -> None:
    for store in list(_stores):
        store._fresh_connections()


os.register_at_fork(after_in_child=_after_fork_in_child)
