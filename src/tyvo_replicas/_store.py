"""What RedisClaims and PostgresClaims share: a bounded pool per event loop for claims and
cut-backs, a keeper thread with a connection of its own for renewals, and a final close."""

from collections.abc import Awaitable, Callable
from datetime import datetime, timedelta
from types import TracebackType
from typing import Generic, Self, TypeVar

from ._bound import LoopBound
from ._keeper import Keeper
from ._lease import Lease
from ._pool import Pool

C = TypeVar("C")
R = TypeVar("R")

# Connections the keeper thread opens for renewals, per store object.
RENEWAL_CONNECTIONS = 1


class Store(Generic[C]):
    def __init__(self, owner: str, pool_size: int) -> None:
        self._owner, self._pool_size = owner, pool_size
        self._closed = False
        self._bound: LoopBound[Pool[C]] = LoopBound(owner, self._open_pool, _close_pool)
        self._keeper: Keeper[C] = Keeper(owner, lambda: self._new_pool(RENEWAL_CONNECTIONS), self._renew_on)

    # What each store provides.
    async def _connect(self) -> C: raise NotImplementedError
    def _abandon(self, connection: C) -> None: raise NotImplementedError
    async def _close_connection(self, connection: C) -> None: raise NotImplementedError
    async def _prepare(self, pool: Pool[C]) -> None: return None
    async def _claim_on(self, connection: C, key: str, token: str, hold: timedelta,
                        fire_time: datetime | None) -> int | None: raise NotImplementedError
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

    async def _run(self, call: Callable[[C], Awaitable[R]]) -> R:
        if self._closed:
            raise RuntimeError(f"this {self._owner} is closed")
        pool = await self._bound.get()
        return await pool.run(call)

    async def claim(self, key: str, token: str, hold: timedelta, fire_time: datetime | None = None) -> int | None:
        return await self._run(lambda connection: self._claim_on(connection, key, token, hold, fire_time))

    async def renew(self, key: str, token: str, hold: timedelta) -> bool:
        return await self._run(lambda connection: self._renew_on(connection, key, token, hold))

    async def release(self, key: str, token: str, hold: timedelta) -> None:
        await self._run(lambda connection: self._release_on(connection, key, token, hold))

    def _keep(self, lease: Lease) -> None:
        """Renews `lease` from the keeper thread until the lease is stopped."""
        self._keeper.keep(lease)

    async def aclose(self) -> None:
        """Closes the connections, stops renewing claims of runs still going (logged), and
        makes every later use raise RuntimeError."""
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

