"""Claims in PostgreSQL: one row per key, each claim, renewal and release a single statement.

Times are the server's now(); a claim has lapsed once its expires_at is not after now(). The
claim statement is an upsert whose update applies only to a lapsed row (and, for a fire time,
only to a row whose fire time is earlier), so of two replicas claiming at once the second sees
the first's row (the row lock orders them) and gets nothing. Each taken claim adds one to the
row's fence, the fencing token, or sets it to the server's clock in ms if that is larger: so it
keeps growing even if a crash lost the last commits (synchronous_commit off) or the row."""

import importlib
import re
from datetime import datetime, timedelta
from typing import Any

from ._claims import check_pool_size
from ._dsn import check_dsn
from ._pool import Pool
from ._store import Store

NAME = re.compile(r"[a-z_][a-z0-9_]{0,62}")

CREATE = """
CREATE TABLE {table} (
    key text PRIMARY KEY,
    token text NOT NULL,
    claimed_at timestamptz NOT NULL,
    expires_at timestamptz NOT NULL,
    fence bigint NOT NULL DEFAULT 0,
    fired_at timestamptz
)"""

# Tables made before claims had a fencing token or a fire time.
UPGRADE = """
ALTER TABLE {table} ADD COLUMN IF NOT EXISTS fence bigint NOT NULL DEFAULT 0,
                    ADD COLUMN IF NOT EXISTS fired_at timestamptz"""

COLUMNS = """
SELECT count(*) FROM pg_attribute
WHERE attrelid = $1::regclass AND attname IN ('fence', 'fired_at') AND NOT attisdropped"""

CLAIM = """
INSERT INTO {table} AS c (key, token, claimed_at, expires_at, fence, fired_at)
VALUES ($1, $2, now(), now() + $3::interval, (extract(epoch FROM now()) * 1000)::bigint, $4::timestamptz)
ON CONFLICT (key) DO UPDATE
    SET token = excluded.token, claimed_at = excluded.claimed_at, expires_at = excluded.expires_at,
        fence = greatest(c.fence + 1, excluded.fence), fired_at = coalesce(excluded.fired_at, c.fired_at)
    WHERE c.expires_at <= now()
      AND (excluded.fired_at IS NULL OR c.fired_at IS NULL OR c.fired_at < excluded.fired_at)
RETURNING fence"""

RENEW = """
UPDATE {table} SET expires_at = now() + $3::interval
WHERE key = $1 AND token = $2 AND expires_at > now()
RETURNING true"""

RELEASE = """
UPDATE {table} SET expires_at = least(expires_at, claimed_at + $3::interval)
WHERE key = $1 AND token = $2"""


class PostgresClaims(Store[Any]):
    """Claims kept in a PostgreSQL table (created if missing), through asyncpg.

    `dsn` is a postgresql:// URL or key=value string as asyncpg reads it. `table` is a lower-case
    SQL name, optionally schema-qualified ("jobs.claims"). Claims and cut-backs use at most
    `pool_size` connections per event loop, opened on first use; renewals use one more, on a
    thread of their own. `aclose()` (or leaving `async with`) closes them all for good."""

    def __init__(self, dsn: str, *, table: str = "tyvo_claims", pool_size: int = 3) -> None:
        if not isinstance(dsn, str):
            raise TypeError(f"dsn must be a str, not {type(dsn).__name__}")
        if not isinstance(table, str):
            raise TypeError(f"table must be a str, not {type(table).__name__}")
        parts = table.split(".")
        if len(parts) > 2 or not all(NAME.fullmatch(part) for part in parts):
            raise ValueError("table must be a lower-case SQL name of letters, digits and underscores, "
                             f"optionally schema-qualified, got {table!r}")
        check_dsn(dsn)
        super().__init__("PostgresClaims", check_pool_size(pool_size))
        self._asyncpg = _import_asyncpg()
        self._dsn, self._table = dsn, table
        quoted = ".".join(f'"{part}"' for part in parts)
        self._claim, self._renew, self._release = (statement.format(table=quoted) for statement in (CLAIM, RENEW, RELEASE))
        self._create, self._upgrade = CREATE.format(table=quoted), UPGRADE.format(table=quoted)
        self._quoted = quoted

    async def _connect(self) -> Any:
        return await self._asyncpg.connect(self._dsn)

    def _abandon(self, connection: Any) -> None:
        # Unlike close() or a cancelled query, this waits for nothing from the server.
        connection.terminate()

    async def _close_connection(self, connection: Any) -> None:
        await connection.close()

    async def _prepare(self, pool: Pool[Any]) -> None:
        await pool.run(self._create_table)

    async def _create_table(self, connection: Any) -> None:
        async with connection.transaction():
            # Replicas starting together would race to create the table; one lock per table name.
            await connection.execute("SELECT pg_advisory_xact_lock(hashtext($1))", self._quoted)
            # Checked first: CREATE TABLE IF NOT EXISTS needs the CREATE privilege even when the table exists.
            if await connection.fetchval("SELECT to_regclass($1)", self._quoted) is None:
                await connection.execute(self._create)
            elif await connection.fetchval(COLUMNS, self._quoted) < 2:
                await connection.execute(self._upgrade)

    async def _claim_on(self, connection: Any, key: str, token: str, hold: timedelta,
                        fire_time: datetime | None) -> int | None:
        fence = await connection.fetchval(self._claim, key, token, hold, fire_time)
        return int(fence) if fence is not None else None

    async def _renew_on(self, connection: Any, key: str, token: str, hold: timedelta) -> bool:
        return await connection.fetchval(self._renew, key, token, hold) is True

    async def _release_on(self, connection: Any, key: str, token: str, hold: timedelta) -> None:
        await connection.execute(self._release, key, token, hold)

    def __repr__(self) -> str:
        return f"PostgresClaims(table={self._table!r})"


def _import_asyncpg() -> Any:
    try:
        return importlib.import_module("asyncpg")
    except ImportError as error:
        raise ImportError('PostgresClaims needs asyncpg: pip install "tyvo[postgres]"') from error
