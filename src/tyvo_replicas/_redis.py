"""Claims in Redis: one hash per key, changed only by Lua scripts that check the token.

Fields: t the token, a and e when the claim was taken and when it lapses (ms on the server's
clock), f the last fencing token, w the latest fire time claimed (ms since the epoch), if any.
A key that never had a fire time expires with its claim; one that has keeps its fire time."""

import asyncio
import hashlib
import importlib
import re
import ssl
from datetime import datetime, timedelta, timezone
from typing import Any
from urllib.parse import urlsplit

from ._claims import check_pool_size, hold_ms
from ._pool import time_left
from ._store import Store

PREFIX = re.compile(r"[\x21-\x7e]{0,128}")
DATABASE = re.compile(r"(/\d*)?")
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
# A plain server does not answer a TLS greeting at all; it reads it as an unfinished command.
TLS_HANDSHAKE = 10.0

NOW = """
local clock = redis.call('TIME')
local now = clock[1] * 1000 + math.floor(clock[2] / 1000)
local function ms(number) return string.format('%d', number) end
local function lapse_at(key, moment)
  if redis.call('HEXISTS', key, 'w') == 1 then redis.call('PERSIST', key)
  else redis.call('PEXPIREAT', key, ms(moment)) end
end
"""

# ARGV: token, hold in ms, fire time in ms or ''. Returns the fencing token, or 0 if not taken.
# The fencing token is at least the server's clock in ms, so that it keeps growing even after a
# restart of a server without persistence that forgot the key.
CLAIM = NOW + """
local held = redis.call('HMGET', KEYS[1], 'e', 'f', 'w')
if held[1] and tonumber(held[1]) > now then return 0 end
local fire = ARGV[3]
if fire ~= '' and held[3] and tonumber(held[3]) >= tonumber(fire) then return 0 end
local fence = math.max((tonumber(held[2]) or 0) + 1, now)
local expires = now + tonumber(ARGV[2])
redis.call('HSET', KEYS[1], 't', ARGV[1], 'a', ms(now), 'e', ms(expires), 'f', ms(fence))
if fire ~= '' then redis.call('HSET', KEYS[1], 'w', fire) end
lapse_at(KEYS[1], expires)
return fence
"""

# ARGV: token, hold in ms. Returns 1 if renewed.
RENEW = NOW + """
local held = redis.call('HMGET', KEYS[1], 't', 'e')
if held[1] ~= ARGV[1] or not held[2] or tonumber(held[2]) <= now then return 0 end
local expires = now + tonumber(ARGV[2])
redis.call('HSET', KEYS[1], 'e', ms(expires))
lapse_at(KEYS[1], expires)
return 1
"""

# ARGV: token, hold in ms. A moment already past ends the claim at once.
RELEASE = NOW + """
local held = redis.call('HMGET', KEYS[1], 't', 'a', 'e')
if held[1] ~= ARGV[1] then return 0 end
local expires = math.min(tonumber(held[3]), tonumber(held[2]) + tonumber(ARGV[2]))
redis.call('HSET', KEYS[1], 'e', ms(expires))
lapse_at(KEYS[1], expires)
return 0
"""


class _Script:
    def __init__(self, text: str) -> None:
        self.text, self.sha = text, hashlib.sha1(text.encode()).hexdigest()


SCRIPTS = {name: _Script(text) for name, text in (("claim", CLAIM), ("renew", RENEW), ("release", RELEASE))}


class RedisClaims(Store[Any]):
    """Claims kept in Redis 6.2 or newer (a single primary), through redis-py's asyncio connections.

    `url` is a redis:// or rediss:// URL as redis-py reads it; every claim's key is `prefix`
    followed by the claimed key. Claims and cut-backs use at most `pool_size` connections per
    event loop, opened on first use; renewals use one more, on a thread of their own. `aclose()`
    (or leaving `async with`) closes them all for good."""

    def __init__(self, url: str, *, prefix: str = "tyvo:", pool_size: int = 8) -> None:
        if not isinstance(url, str):
            raise TypeError(f"url must be a str, not {type(url).__name__}")
        if not isinstance(prefix, str):
            raise TypeError(f"prefix must be a str, not {type(prefix).__name__}")
        if not PREFIX.fullmatch(prefix):
            raise ValueError(f"prefix must be at most 128 printable ASCII characters without spaces, got {prefix!r}")
        super().__init__("RedisClaims", check_pool_size(pool_size))
        self._module = _import_redis()
        self._errors = importlib.import_module("redis.exceptions")
        try:
            # A malformed URL fails here, not at the first run.
            self._factory = self._module.ConnectionPool.from_url(url)
        except (ValueError, TypeError) as error:
            raise ValueError(f"malformed Redis URL: {error}") from None
        self._tls = url.lower().startswith("rediss://")
        # redis-py quietly ignores a database that is not a number and uses database 0.
        path = urlsplit(url).path if url.lower().startswith(("redis://", "rediss://")) else ""
        if not DATABASE.fullmatch(path):
            raise ValueError(f"malformed Redis URL: the database must be a number, got {path!r}")
        self._prefix = prefix

    async def _connect(self) -> Any:
        connection = self._factory.make_connection()
        if not self._tls:
            await connection.connect()
            return connection
        # Fail before the caller's own time runs out, to say why.
        handshake = asyncio.timeout(time_left(TLS_HANDSHAKE / 0.8) * 0.8)
        try:
            async with handshake:
                await connection.connect()
        except Exception as error:
            self._abandon(connection)
            if handshake.expired() or _is_tls_failure(error):
                why = "did not answer the TLS handshake" if handshake.expired() else f"failed the TLS handshake ({error})"
                raise self._errors.ConnectionError(
                    f"the Redis server {why}: a rediss:// URL needs a server with TLS enabled; "
                    "use redis:// for a plain one") from None
            raise
        return connection

    def _abandon(self, connection: Any) -> None:
        # Tears the socket down now; redis-py's own disconnect() is a coroutine and may wait.
        writer = getattr(connection, "_writer", None)
        if writer is not None:
            writer.transport.abort()
        connection._reader = connection._writer = None

    async def _close_connection(self, connection: Any) -> None:
        await connection.disconnect()

    async def _script(self, connection: Any, name: str, key: str, *args: object) -> Any:
        script = SCRIPTS[name]
        full_key = (self._prefix + key).encode("utf-8")
        try:
            await connection.send_command("EVALSHA", script.sha, 1, full_key, *args)
            return await connection.read_response()
        except self._errors.NoScriptError:
            await connection.send_command("EVAL", script.text, 1, full_key, *args)
            return await connection.read_response()

    async def _claim_on(self, connection: Any, key: str, token: str, hold: timedelta,
                        fire_time: datetime | None) -> int | None:
        fire = "" if fire_time is None else str((fire_time - EPOCH) // timedelta(milliseconds=1))
        fence = int(await self._script(connection, "claim", key, token, hold_ms(hold), fire))
        return fence or None

    async def _renew_on(self, connection: Any, key: str, token: str, hold: timedelta) -> bool:
        return int(await self._script(connection, "renew", key, token, hold_ms(hold))) == 1

    async def _release_on(self, connection: Any, key: str, token: str, hold: timedelta) -> None:
        await self._script(connection, "release", key, token, hold_ms(hold))

    def __repr__(self) -> str:
        return f"RedisClaims(prefix={self._prefix!r})"


def _is_tls_failure(error: BaseException | None) -> bool:
    while error is not None:
        if isinstance(error, ssl.SSLError):
            return True
        error = error.__cause__ or error.__context__
    return False


def _import_redis() -> Any:
    try:
        return importlib.import_module("redis.asyncio")
    except ImportError as error:
        raise ImportError('RedisClaims needs redis-py: pip install "tyvo[redis]"') from error
