"""Claims in Redis: one string key per claim, changed only by Lua scripts that check the token.

The value is "<claimed at, ms on the server's clock> <token>"; the key's own expiry is the
claim's. A claim is taken with SET NX PXAT, so a lapsed claim is simply a missing key."""

import importlib
import re
from datetime import timedelta
from types import TracebackType
from typing import TYPE_CHECKING, Any, NamedTuple

from ._bound import LoopBound
from ._claims import hold_ms

if TYPE_CHECKING:
    from redis.asyncio import Redis
    from redis.commands.core import AsyncScript

PREFIX = re.compile(r"[\x21-\x7e]{0,128}")

# ARGV: token, hold in ms. Returns 1 if taken.
CLAIM = """
local now = redis.call('TIME')
local at = now[1] * 1000 + math.floor(now[2] / 1000)
local taken = redis.call('SET', KEYS[1], string.format('%d %s', at, ARGV[1]),
                         'NX', 'PXAT', string.format('%d', at + tonumber(ARGV[2])))
if taken then return 1 end
return 0
"""

# Returns the claimed-at time if KEYS[1] is claimed under ARGV[1], else nil.
OWNED = """
local function claimed_at(key, token)
  local value = redis.call('GET', key)
  if not value then return nil end
  local space = string.find(value, ' ', 1, true)
  if not space or string.sub(value, space + 1) ~= token then return nil end
  return tonumber(string.sub(value, 1, space - 1))
end
"""

# ARGV: token, hold in ms. Returns 1 if renewed.
RENEW = OWNED + """
if claimed_at(KEYS[1], ARGV[1]) then
  redis.call('PEXPIRE', KEYS[1], ARGV[2])
  return 1
end
return 0
"""

# ARGV: token, hold in ms. A moment already past deletes the key.
RELEASE = OWNED + """
local at = claimed_at(KEYS[1], ARGV[1])
if at then
  redis.call('PEXPIREAT', KEYS[1], string.format('%d', at + tonumber(ARGV[2])))
end
return 0
"""


class _Connection(NamedTuple):
    client: "Redis"
    claim: "AsyncScript"
    renew: "AsyncScript"
    release: "AsyncScript"


class RedisClaims:
    """Claims kept in Redis 6.2 or newer (a single primary), through redis-py's asyncio client.

    `url` is a redis:// or rediss:// URL as redis-py reads it; every claim's key is `prefix`
    followed by the claimed key. The connection pool opens on the first claim, on the running
    event loop, and is closed by `aclose()` or by leaving `async with`."""

    def __init__(self, url: str, *, prefix: str = "tyvo:") -> None:
        if not isinstance(url, str):
            raise TypeError(f"url must be a str, not {type(url).__name__}")
        if not isinstance(prefix, str):
            raise TypeError(f"prefix must be a str, not {type(prefix).__name__}")
        if not PREFIX.fullmatch(prefix):
            raise ValueError(f"prefix must be at most 128 printable ASCII characters without spaces, got {prefix!r}")
        self._module = _import_redis()
        self._module.connection.parse_url(url)  # a malformed URL fails here, not at the first run
        self._url, self._prefix = url, prefix
        self._bound: LoopBound[_Connection] = LoopBound("RedisClaims", self._open, _close)

    async def _open(self) -> _Connection:
        client: Redis = self._module.from_url(self._url)
        return _Connection(client, client.register_script(CLAIM), client.register_script(RENEW),
                           client.register_script(RELEASE))

    async def claim(self, key: str, token: str, hold: timedelta) -> bool:
        connection = await self._bound.get()
        taken: int = await connection.claim(keys=[self._prefix + key], args=[token, hold_ms(hold)])
        return taken == 1

    async def renew(self, key: str, token: str, hold: timedelta) -> bool:
        connection = await self._bound.get()
        renewed: int = await connection.renew(keys=[self._prefix + key], args=[token, hold_ms(hold)])
        return renewed == 1

    async def release(self, key: str, token: str, hold: timedelta) -> None:
        connection = await self._bound.get()
        await connection.release(keys=[self._prefix + key], args=[token, hold_ms(hold)])

    async def aclose(self) -> None:
        await self._bound.aclose()

    async def __aenter__(self) -> "RedisClaims":
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        return f"RedisClaims(prefix={self._prefix!r})"


async def _close(connection: _Connection) -> None:
    await connection.client.aclose()


def _import_redis() -> Any:
    try:
        return importlib.import_module("redis.asyncio")
    except ImportError as error:
        raise ImportError('RedisClaims needs redis-py: pip install "tyvo[redis]"') from error
