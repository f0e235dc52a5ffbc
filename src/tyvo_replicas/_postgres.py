"""Claims in PostgreSQL: one row per key, each claim, renewal and release a single statement.

Times are the server's now(); a claim has lapsed once its expires_at is not after now(). The
claim statement is an upsert whose update applies only to a lapsed row (and, for a fire time,
only to a row whose fire time is earlier), so of two replicas claiming at once the second sees
the first's row (the row lock orders them) and gets nothing. Each taken claim adds one to the
row's fence, the fencing token, or sets it to the server's clock in ms if that is larger: so it
keeps growing even if a crash lost the last commits (synchronous_commit off) or the row.

Every row carries the layout's version in `protocol`, which a check constraint pins: a replica of
an earlier release, which writes no version, fails at its first claim instead of sharing the
table. The row of the empty key records since when the table keeps claims; the server vouches
for fire times no earlier than that, nor than its own last start (a crash may lose commits).

Each statement is bounded on the server too (lock_timeout, statement_timeout): a server does
not notice a client that gave up, and a statement left waiting on a row lock would hold its
backend until the lock is released."""

import importlib
import re
from datetime import datetime, timedelta
from typing import Any

from ._claims import check_pool_size
from ._dsn import check_dsn
from ._pool import Pool, time_left
from ._store import CLOCK_TOLERANCE, Decision, Store, refusal

NAME = re.compile(r"[a-z_][a-z0-9_]{0,62}")
PROTOCOL = 2

CREATE = """
CREATE TABLE {table} (
    key text PRIMARY KEY,
    token text NOT NULL,
    claimed_at timestamptz NOT NULL,
    expires_at timestamptz NOT NULL,
    fence bigint NOT NULL DEFAULT 0,
    fired_at timestamptz,
    protocol smallint,
    CONSTRAINT claims_of_tyvo_replicas_protocol_2_only CHECK (coalesce(protocol, 0) = 2)
)"""

SINCE = """
INSERT INTO {table} (key, token, claimed_at, expires_at, fence, protocol)
VALUES ('', 'since', now(), 'infinity', 0, 2) ON CONFLICT (key) DO NOTHING"""

# $1 key, $2 token, $3 hold, $4 fire time or NULL, $5 clock tolerance. Returns the fence (NULL if
# not taken), the refusal (0 none or taken elsewhere, -1 held by the key's previous run, -2 ahead
# of the server's clock, -3 before the server vouches for), since when it vouches, and now().
CLAIM = """
WITH since AS (
    SELECT greatest(coalesce((SELECT claimed_at FROM {table} WHERE key = ''), now()),
                    pg_postmaster_start_time()) AS at
), gate AS (
    SELECT CASE WHEN $4::timestamptz IS NULL THEN 0
                WHEN $4::timestamptz > now() + $5::interval THEN -2
                WHEN $4::timestamptz < since.at + $5::interval THEN -3
                ELSE 0 END AS refused
    FROM since
), taken AS (
    INSERT INTO {table} AS c (key, token, claimed_at, expires_at, fence, fired_at, protocol)
    SELECT $1, $2, now(), now() + $3::interval, (extract(epoch FROM now()) * 1000)::bigint, $4::timestamptz, 2
    FROM gate WHERE refused = 0
    ON CONFLICT (key) DO UPDATE
        SET token = excluded.token, claimed_at = excluded.claimed_at, expires_at = excluded.expires_at,
            fence = greatest(c.fence + 1, excluded.fence), fired_at = coalesce(excluded.fired_at, c.fired_at),
            protocol = 2
        WHERE c.expires_at <= now()
          AND (excluded.fired_at IS NULL OR c.fired_at IS NULL OR c.fired_at < excluded.fired_at)
    RETURNING fence
), before AS (
    SELECT CASE WHEN expires_at > now() AND $4::timestamptz IS NOT NULL
                     AND (fired_at IS NULL OR fired_at < $4::timestamptz) THEN -1 ELSE 0 END AS refused, fired_at
    FROM {table} WHERE key = $1
)
SELECT (SELECT fence FROM taken),
       CASE WHEN (SELECT refused FROM gate) <> 0 THEN (SELECT refused FROM gate)
            ELSE coalesce((SELECT refused FROM before), 0) END,
       (SELECT at FROM since), now(), (SELECT fired_at FROM before)"""

# Whether the key's previous run still holds it, read after the claim was refused: the claim's own
# snapshot may predate another replica's claim of the same fire time.
STILL_HELD = """
SELECT expires_at > now() AND (fired_at IS NULL OR fired_at < $2::timestamptz) FROM {table} WHERE key = $1"""

RENEW = """
UPDATE {table} SET expires_at = now() + $3::interval
WHERE key = $1 AND token = $2 AND expires_at > now()
RETURNING true"""

RELEASE = """
UPDATE {table} SET expires_at = least(expires_at, claimed_at + $3::interval)
WHERE key = $1 AND token = $2"""

# What every statement may take at most on the server, whatever its caller's bound.
LONGEST_STATEMENT_MS = 30_000
# The server-side bound of a statement is its caller's time left, rounded down to one of these (ms),
# so that it is set again only when a call's bound differs much from the last one's.
BOUNDS_MS = (1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, LONGEST_STATEMENT_MS)


class _Connection:
    """An asyncpg connection and the bound its session has in force."""

    __slots__ = ("raw", "bound_ms")

    def __init__(self, raw: Any) -> None:
        self.raw, self.bound_ms = raw, LONGEST_STATEMENT_MS

    async def bounded(self) -> Any:
        """The connection, its server-side bound set to the caller's time left."""
        left = time_left(LONGEST_STATEMENT_MS / 1000) * 1000
        step = max(0, sum(1 for each in BOUNDS_MS if each <= left) - 1)
        if BOUNDS_MS[step] != self.bound_ms:
            # A wait for a row lock ends a step earlier than the statement, so that it says so.
            await self.raw.execute(f"SET lock_timeout = {BOUNDS_MS[max(0, step - 1)]}; "
                                   f"SET statement_timeout = {BOUNDS_MS[step]}")
            self.bound_ms = BOUNDS_MS[step]
        return self.raw


class PostgresClaims(Store[Any]):
    """Claims kept in a PostgreSQL table (created if missing), through asyncpg.

    `dsn` is a postgresql:// URL or key=value string as asyncpg reads it. `table` is a lower-case
    SQL name, optionally schema-qualified ("jobs.claims"). Claims and cut-backs use at most
    `pool_size` connections per event loop, opened on first use; renewals one more (two while one waits on a locked row), on a
    thread of their own. `aclose()` (or leaving `async with`) closes them all for good."""

    renewal_connections = 2

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
        self._claim, self._still_held, self._renew, self._release, self._create, self._since = (
            statement.format(table=quoted) for statement in (CLAIM, STILL_HELD, RENEW, RELEASE, CREATE, SINCE))
        self._quoted = quoted

    async def _connect(self) -> Any:
        bound = str(LONGEST_STATEMENT_MS)
        return _Connection(await self._asyncpg.connect(self._dsn, server_settings={
            "lock_timeout": str(BOUNDS_MS[-2]), "statement_timeout": bound,
            "idle_in_transaction_session_timeout": bound}))

    def _abandon(self, connection: _Connection) -> None:
        # Unlike close() or a cancelled query, this waits for nothing from the server.
        raw = connection.raw
        raw.terminate()
        # A query cut off here fails its waiter with nobody left to look: retrieved, so that
        # asyncio does not print "Future exception was never retrieved".
        protocol = getattr(raw, "_protocol", None)
        for name in ("waiter", "cancel_waiter", "cancel_sent_waiter"):
            waiter = getattr(protocol, name, None)
            if waiter is not None and hasattr(waiter, "add_done_callback"):
                waiter.add_done_callback(_retrieve)

    async def _close_connection(self, connection: _Connection) -> None:
        await connection.raw.close()

    async def _prepare(self, pool: Pool[Any]) -> None:
        errors = self._asyncpg.exceptions
        try:
            await pool.run(self._prepare_table)
        except (errors.QueryCanceledError, errors.LockNotAvailableError):
            # The server's side of the caller's own bound, as for a claim: a timeout, like the client's.
            raise TimeoutError(f"the store did not prepare the table {self._table} in time (the server gave "
                               "the statement up at its bound)") from None

    async def _prepare_table(self, connection: _Connection) -> None:
        # One read when the table is ready, as it is for every replica but the first: replicas
        # starting together must not queue behind one another to find that out.
        raw = await connection.bounded()
        errors = self._asyncpg.exceptions
        try:
            protocol = await raw.fetchval(f"SELECT protocol FROM {self._quoted} WHERE key = ''")
        except errors.UndefinedTableError:
            await self._create_table(raw)
            protocol = None
        except errors.UndefinedColumnError:
            raise RuntimeError(
                f"the table {self._table} holds claims in the layout of an earlier release of tyvo_replicas; "
                "replicas of different releases must not share claims: stop the replicas of the earlier "
                f"release and drop the table (DROP TABLE {self._table}), or give this release another table") from None
        if protocol is None:
            await raw.execute(self._since)
        elif protocol != PROTOCOL:
            raise RuntimeError(f"the table {self._table} holds claims of protocol {protocol} of another release "
                               f"of tyvo_replicas, this one follows protocol {PROTOCOL}; replicas of different "
                               "releases must not share claims: give each release its own table")

    async def _create_table(self, raw: Any) -> None:
        # Only when it is missing: CREATE TABLE IF NOT EXISTS needs the CREATE privilege even
        # when the table exists.
        errors = self._asyncpg.exceptions
        try:
            await raw.execute(self._create)
        except (errors.DuplicateTableError, errors.DuplicateObjectError, errors.UniqueViolationError):
            # Another replica created it meanwhile: the loser of two creations at once fails on the
            # table, on its row type or on the catalogue's unique index, depending on timing.
            pass

    async def _decide_on(self, connection: _Connection, key: str, token: str, hold: timedelta,
                         fire_time: datetime | None) -> Decision:
        raw = await connection.bounded()
        errors = self._asyncpg.exceptions
        try:
            fence, refused, since, now, previous = await raw.fetchrow(
                self._claim, key, token, hold, fire_time, CLOCK_TOLERANCE)
        except errors.LockNotAvailableError:
            raise TimeoutError(f"the store did not answer the claim on {key!r} in time: it waits on a lock "
                               "another session holds") from None
        except errors.QueryCanceledError:
            raise TimeoutError(f"the store did not answer the claim on {key!r} in time (the server gave the "
                               "statement up at its bound)") from None
        if fence is not None:
            return Decision(int(fence), None, since, now, previous)
        if refused == -1 and not await raw.fetchval(self._still_held, key, fire_time):
            refused = 0
        return Decision(None, refusal(refused), since, now)

    async def _renew_on(self, connection: _Connection, key: str, token: str, hold: timedelta) -> bool:
        raw = await connection.bounded()
        try:
            return await raw.fetchval(self._renew, key, token, hold) is True
        except self._asyncpg.exceptions.QueryCanceledError:
            # The server's side of the caller's own bound: a timeout, like the client's.
            raise TimeoutError("the server gave the renewal up at its bound") from None

    async def _release_on(self, connection: _Connection, key: str, token: str, hold: timedelta) -> None:
        raw = await connection.bounded()
        try:
            await raw.execute(self._release, key, token, hold)
        except self._asyncpg.exceptions.QueryCanceledError:
            raise TimeoutError("the server gave the cut-back up at its bound") from None

    def __repr__(self) -> str:
        return f"PostgresClaims(table={self._table!r})"


def _import_asyncpg() -> Any:
    try:
        return importlib.import_module("asyncpg")
    except ImportError as error:
        raise ImportError('PostgresClaims needs asyncpg: pip install "tyvo[postgres]"') from error


def _retrieve(future: Any) -> None:
    if not future.cancelled():
        future.exception()
