"""Claims in PostgreSQL: one row per key, each claim, renewal and release a single statement.

Times are the server's now(); a claim has lapsed once its expires_at is not after now(). The
claim statement is an upsert whose update applies only to a lapsed row, so of two replicas
claiming at once the second sees the first's row (the row lock orders them) and gets nothing."""

import asyncio
import importlib
import re
from datetime import timedelta
from types import TracebackType
from typing import Any, Protocol

from ._bound import LoopBound

NAME = re.compile(r"[a-z_][a-z0-9_]{0,62}")

CREATE = """
CREATE TABLE {table} (
    key text PRIMARY KEY,
    token text NOT NULL,
    claimed_at timestamptz NOT NULL,
    expires_at timestamptz NOT NULL
)"""

CLAIM = """
INSERT INTO {table} AS c (key, token, claimed_at, expires_at)
VALUES ($1, $2, now(), now() + $3::interval)
ON CONFLICT (key) DO UPDATE
    SET token = excluded.token, claimed_at = excluded.claimed_at, expires_at = excluded.expires_at
    WHERE c.expires_at <= now()
RETURNING true"""

RENEW = """
UPDATE {table} SET expires_at = now() + $3::interval
WHERE key = $1 AND token = $2 AND expires_at > now()
RETURNING true"""

RELEASE = """
UPDATE {table} SET expires_at = least(expires_at, claimed_at + $3::interval)
WHERE key = $1 AND token = $2"""


class _Pool(Protocol):
    """The part of asyncpg's Pool used here (asyncpg ships no type information)."""

    async def fetchval(self, query: str, *args: object) -> Any: ...
    async def execute(self, query: str, *args: object) -> str: ...
    def acquire(self) -> Any: ...
    async def close(self) -> None: ...
    def terminate(self) -> None: ...


class PostgresClaims:
    """Claims kept in a PostgreSQL table (created if missing), through asyncpg.

    `dsn` is a postgresql:// URL or key=value string as asyncpg reads it. `table` is a lower-case
    SQL name, optionally schema-qualified ("jobs.claims"). The connection pool opens on the first
    claim, on the running event loop, and is closed by `aclose()` or by leaving `async with`."""

    def __init__(self, dsn: str, *, table: str = "tyvo_claims") -> None:
        if not isinstance(dsn, str):
            raise TypeError(f"dsn must be a str, not {type(dsn).__name__}")
        if not isinstance(table, str):
            raise TypeError(f"table must be a str, not {type(table).__name__}")
        parts = table.split(".")
        if len(parts) > 2 or not all(NAME.fullmatch(part) for part in parts):
            raise ValueError("table must be a lower-case SQL name of letters, digits and underscores, "
                             f"optionally schema-qualified, got {table!r}")
        self._asyncpg = _import_asyncpg()
        self._dsn, self._table = dsn, table
        quoted = ".".join(f'"{part}"' for part in parts)
        self._claim, self._renew, self._release = (statement.format(table=quoted) for statement in (CLAIM, RENEW, RELEASE))
        self._create = CREATE.format(table=quoted)
        self._quoted = quoted
        self._bound: LoopBound[_Pool] = LoopBound("PostgresClaims", self._open, _close)

    async def _open(self) -> _Pool:
        # No standing connections: with a floor, asyncpg reconnects in the background while the
        # server is away and logs each failure; connections open on demand and idle ones close.
        pool: _Pool = await self._asyncpg.create_pool(self._dsn, min_size=0, max_size=10)
        try:
            async with pool.acquire() as connection, connection.transaction():
                # Replicas starting together would race to create the table; one lock per table name.
                await connection.execute("SELECT pg_advisory_xact_lock(hashtext($1))", self._quoted)
                # Checked first: CREATE TABLE IF NOT EXISTS needs the CREATE privilege even when the table exists.
                if await connection.fetchval("SELECT to_regclass($1)", self._quoted) is None:
                    await connection.execute(self._create)
        except BaseException:
            pool.terminate()
            raise
        return pool

    async def claim(self, key: str, token: str, hold: timedelta) -> bool:
        pool = await self._bound.get()
        return await pool.fetchval(self._claim, key, token, hold) is True

    async def renew(self, key: str, token: str, hold: timedelta) -> bool:
        pool = await self._bound.get()
        return await pool.fetchval(self._renew, key, token, hold) is True

    async def release(self, key: str, token: str, hold: timedelta) -> None:
        pool = await self._bound.get()
        await pool.execute(self._release, key, token, hold)

    async def aclose(self) -> None:
        await self._bound.aclose()

    async def __aenter__(self) -> "PostgresClaims":
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        return f"PostgresClaims(table={self._table!r})"


async def _close(pool: _Pool) -> None:
    # close() waits for connections in use to come back; do not let a stuck one hold us up.
    try:
        async with asyncio.timeout(10):
            await pool.close()
    except TimeoutError:
        pool.terminate()


def _import_asyncpg() -> Any:
    try:
        return importlib.import_module("asyncpg")
    except ImportError as error:
        raise ImportError('PostgresClaims needs asyncpg: pip install "tyvo[postgres]"') from error
