"""Claims in Redis: one string per key, changed only by Lua scripts that check the token.

A claim's value is "2 <token> <taken> <lapses> <fence> <fire time>": the layout's version, the
token, when the claim was taken and when it lapses (ms on the server's clock), the last fencing
token and the latest fire time claimed (ms since the epoch, "-" if none). A key that never had a
fire time expires with its claim; one that has keeps its fire time.

The prefix alone holds "2 <since>": the layout's version and since when (ms, server's clock) the
server has kept claims under this prefix. A server that forgot its keys (a restart without
persistence) forgot this one too, so it cannot vouch for fire times before the new one. Keys in
another layout (the hashes of an earlier release) make every script fail with a clear error:
replicas of two releases never share claims silently."""

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
from ._store import CLOCK_TOLERANCE, Decision, Store, refusal

PREFIX = re.compile(r"[\x21-\x7e]{0,128}")
DATABASE = re.compile(r"(/\d*)?")
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
MILLISECOND = timedelta(milliseconds=1)
# A plain server does not answer a TLS greeting at all; it reads it as an unfinished command.
TLS_HANDSHAKE = 10.0
LAYOUT = "2"

NOW = """
local clock = redis.call('TIME')
local now = clock[1] * 1000 + math.floor(clock[2] / 1000)
local function ms(number) return string.format('%d', number) end
local function foreign(key)
  return redis.error_reply('tyvo_replicas: the Redis key ' .. key .. ' holds claims in the layout of '
    .. 'another release of tyvo_replicas; replicas of different releases must not share a prefix: stop '
    .. 'the replicas of the other release and delete its keys, or give this release another prefix')
end
local function read(key)
  local kind = redis.call('TYPE', key)['ok']
  if kind == 'none' then return nil end
  if kind ~= 'string' then return false end
  local v, t, a, e, f, w = string.match(redis.call('GET', key), '^(%d+) (%S+) (%d+) (%d+) (%d+) (%S+)$')
  if v ~= '""" + LAYOUT + """' then return false end
  return {t = t, a = tonumber(a), e = tonumber(e), f = tonumber(f), w = tonumber(w)}
end
local function write(key, c)
  local value = '""" + LAYOUT + """ ' .. c.t .. ' ' .. ms(c.a) .. ' ' .. ms(c.e) .. ' ' .. ms(c.f) .. ' '
    .. (c.w and ms(c.w) or '-')
  if c.w then redis.call('SET', key, value)
  else redis.call('SET', key, value, 'PXAT', ms(math.max(c.e, now + 1))) end
end
"""

# KEYS: the claim, the prefix's own key. ARGV: token, hold in ms, fire time in ms or '', when the
# server started (ms, its clock), the clock tolerance in ms. Returns {fence or refusal, since, now}
# and, when taken, the fire time claimed before (-1 if none):
# a refusal is 0 (claimed elsewhere), -1 (held by the key's previous run), -2 (the fire time is
# ahead of the server's clock), -3 (the fire time is before the server can vouch for).
# The fencing token is at least the server's clock in ms, so that it keeps growing even after a
# restart of a server without persistence that forgot the key.
CLAIM = NOW + """
local since_value = redis.call('GET', KEYS[2])
local since
if since_value then
  local v, s = string.match(since_value, '^(%d+) (%d+)$')
  if v ~= '""" + LAYOUT + """' then return foreign(KEYS[2]) end
  since = tonumber(s)
else
  if redis.call('EXISTS', KEYS[2]) == 1 then return foreign(KEYS[2]) end
  since = now
  redis.call('SET', KEYS[2], '""" + LAYOUT + """ ' .. ms(now))
end
since = math.max(since, tonumber(ARGV[4]))
local held = read(KEYS[1])
if held == false then return foreign(KEYS[1]) end
local fire = tonumber(ARGV[3])
local tolerance = tonumber(ARGV[5])
if fire and fire > now + tolerance then return {-2, since, now} end
if fire and fire < since + tolerance then return {-3, since, now} end
if held and held.e > now then
  if fire and (not held.w or held.w < fire) then return {-1, since, now} end
  return {0, since, now}
end
if fire and held and held.w and held.w >= fire then return {0, since, now} end
local fence = math.max((held and held.f or 0) + 1, now)
local w = fire or (held and held.w)
write(KEYS[1], {t = ARGV[1], a = now, e = now + tonumber(ARGV[2]), f = fence, w = w})
return {fence, since, now, held and held.w or -1}
"""

# ARGV: token, hold in ms. Returns 1 if renewed.
RENEW = NOW + """
local held = read(KEYS[1])
if held == false then return foreign(KEYS[1]) end
if not held or held.t ~= ARGV[1] or held.e <= now then return 0 end
held.e = now + tonumber(ARGV[2])
write(KEYS[1], held)
return 1
"""

# ARGV: token, hold in ms. A moment already past ends the claim at once.
RELEASE = NOW + """
local held = read(KEYS[1])
if held == false then return foreign(KEYS[1]) end
if not held or held.t ~= ARGV[1] then return 0 end
held.e = math.min(held.e, held.a + tonumber(ARGV[2]))
write(KEYS[1], held)
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
            return await self._note_start(connection)
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
        return await self._note_start(connection)

    async def _note_start(self, connection: Any) -> Any:
        # When the server started, on its clock: its claims go back no further. A restarted
        # server closes every connection, so one connection never sees two starts.
        try:
            try:
                await connection.send_command("INFO", "server")
                info = await connection.read_response()
            except self._errors.ResponseError:  # INFO not allowed: the prefix's own key must do
                connection.tyvo_started_ms = 0
                return connection
            await connection.send_command("TIME")
            seconds, micros = await connection.read_response()
            text = info.decode() if isinstance(info, bytes) else str(info)
            found = re.search(r"^uptime_in_seconds:(\d+)", text, re.M)
        except BaseException:
            self._abandon(connection)
            raise
        now_ms = int(seconds) * 1000 + int(micros) // 1000
        connection.tyvo_started_ms = now_ms - int(found.group(1)) * 1000 if found else 0
        return connection

    def _abandon(self, connection: Any) -> None:
        # Tears the socket down now; redis-py's own disconnect() is a coroutine and may wait.
        writer = getattr(connection, "_writer", None)
        if writer is not None:
            writer.transport.abort()
        connection._reader = connection._writer = None

    async def _close_connection(self, connection: Any) -> None:
        await connection.disconnect()

    async def _script(self, connection: Any, name: str, keys: list[str], *args: object) -> Any:
        script = SCRIPTS[name]
        full_keys = [(self._prefix + key).encode("utf-8") for key in keys]
        try:
            await connection.send_command("EVALSHA", script.sha, len(keys), *full_keys, *args)
            return await connection.read_response()
        except self._errors.NoScriptError:
            await connection.send_command("EVAL", script.text, len(keys), *full_keys, *args)
            return await connection.read_response()

    async def _decide_on(self, connection: Any, key: str, token: str, hold: timedelta,
                         fire_time: datetime | None) -> Decision:
        fire = "" if fire_time is None else str((fire_time - EPOCH) // MILLISECOND)
        answer, since, now, *before = await self._script(
            connection, "claim", [key, ""], token, hold_ms(hold), fire, connection.tyvo_started_ms,
            CLOCK_TOLERANCE // MILLISECOND)
        answer = int(answer)
        previous = EPOCH + int(before[0]) * MILLISECOND if before and int(before[0]) >= 0 else None
        return Decision(answer if answer > 0 else None, refusal(answer),
                        EPOCH + int(since) * MILLISECOND, EPOCH + int(now) * MILLISECOND, previous)

    async def _renew_on(self, connection: Any, key: str, token: str, hold: timedelta) -> bool:
        return int(await self._script(connection, "renew", [key], token, hold_ms(hold))) == 1

    async def _release_on(self, connection: Any, key: str, token: str, hold: timedelta) -> None:
        await self._script(connection, "release", [key], token, hold_ms(hold))

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
