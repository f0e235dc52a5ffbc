"""Replicas of two releases on one store: the earlier release's claims, written here exactly as
it wrote them, make this release refuse at its first call, and this release's layout makes the
earlier release's statements fail, so that neither runs a fire time the other has run."""

import asyncio
from datetime import datetime, timedelta, timezone

import pytest

import tyvo_replicas
from conftest import claims_for

HOUR = timedelta(hours=1)

# The earlier release's table and claim, verbatim.
EARLIER_TABLE = """
CREATE TABLE {table} (
    key text PRIMARY KEY,
    token text NOT NULL,
    claimed_at timestamptz NOT NULL,
    expires_at timestamptz NOT NULL,
    fence bigint NOT NULL DEFAULT 0,
    fired_at timestamptz
)"""
EARLIER_CLAIM = """
INSERT INTO {table} AS c (key, token, claimed_at, expires_at, fence, fired_at)
VALUES ($1, $2, now(), now() + $3::interval, (extract(epoch FROM now()) * 1000)::bigint, $4::timestamptz)
ON CONFLICT (key) DO UPDATE
    SET token = excluded.token, claimed_at = excluded.claimed_at, expires_at = excluded.expires_at,
        fence = greatest(c.fence + 1, excluded.fence), fired_at = coalesce(excluded.fired_at, c.fired_at)
    WHERE c.expires_at <= now()
      AND (excluded.fired_at IS NULL OR c.fired_at IS NULL OR c.fired_at < excluded.fired_at)
RETURNING fence"""
EARLIER_REDIS_CLAIM = """
local clock = redis.call('TIME')
local now = clock[1] * 1000 + math.floor(clock[2] / 1000)
local function ms(number) return string.format('%d', number) end
local held = redis.call('HMGET', KEYS[1], 'e', 'f', 'w')
if held[1] and tonumber(held[1]) > now then return 0 end
local fire = ARGV[3]
if fire ~= '' and held[3] and tonumber(held[3]) >= tonumber(fire) then return 0 end
local fence = math.max((tonumber(held[2]) or 0) + 1, now)
local expires = now + tonumber(ARGV[2])
redis.call('HSET', KEYS[1], 't', ARGV[1], 'a', ms(now), 'e', ms(expires), 'f', ms(fence))
if fire ~= '' then redis.call('HSET', KEYS[1], 'w', fire) end
redis.call('PERSIST', KEYS[1])
return fence
"""


async def earlier_release_claims(server, place, key, fire_time):
    """Claims `key` for `fire_time` as the earlier release did; `place` is its table or prefix."""
    if server.kind == "postgres":
        import asyncpg
        connection = await asyncpg.connect(server.url)
        try:
            if await connection.fetchval("SELECT to_regclass($1)", place) is None:
                await connection.execute(EARLIER_TABLE.format(table=place))
            return await connection.fetchval(EARLIER_CLAIM.format(table=place), key, "earlier", HOUR, fire_time)
        finally:
            await connection.close()
    import redis.asyncio
    client = redis.asyncio.Redis.from_url(server.url)
    try:
        fire = str(int(fire_time.timestamp() * 1000))
        return await client.eval(EARLIER_REDIS_CLAIM, 1, place + key, "earlier", 3600000, fire)
    finally:
        await client.aclose()


def place_for(server, key):
    return "earlier_" + key.replace("-", "_") if server.kind == "postgres" else f"earlier-{key}:"


def store_at(server, place):
    if server.kind == "postgres":
        return tyvo_replicas.PostgresClaims(server.url, table=place)
    return tyvo_replicas.RedisClaims(server.url, prefix=place)


def test_this_release_refuses_a_store_the_earlier_one_uses_at_its_first_call(server, key):
    place = place_for(server, key)
    fire_time = datetime.now(timezone.utc).replace(microsecond=0)

    async def scenario():
        assert await earlier_release_claims(server, place, key, fire_time - timedelta(seconds=1)) > 0
        runs = []

        async def handler():
            runs.append(1)

        async with store_at(server, place) as claims:
            guarded = tyvo_replicas.once(handler, claims, key=key, hold=HOUR)
            with pytest.raises(Exception, match="layout of an earlier release|layout of another release") as refused:
                await guarded()
            assert "another table" in str(refused.value) or "another prefix" in str(refused.value)
            with pytest.raises(Exception, match="release"):  # every call, not only the first
                await claims.claim(key, "new", HOUR, fire_time)
        assert runs == []

    asyncio.run(scenario())


def test_the_earlier_release_fails_on_a_store_this_release_uses(server, key):
    place = place_for(server, key)

    async def scenario():
        async with store_at(server, place) as claims:
            fire_time = datetime.now(timezone.utc)
            while (probe := await claims.decide(key, "new", timedelta(milliseconds=1), fire_time)).refused == "outside_catch_up":
                await asyncio.sleep(0.2)  # a new store vouches only for fire times after its start
                fire_time = datetime.now(timezone.utc)
            assert probe.fence is not None
        # The earlier release, with its clock behind, claims the same fire time: it must fail
        # loudly rather than run it a second time.
        with pytest.raises(Exception, match="claims_of_tyvo_replicas_protocol_2_only|WRONGTYPE"):
            await earlier_release_claims(server, place, key, fire_time - timedelta(milliseconds=500))
        # A key this release has not used yet: PostgreSQL refuses the earlier release's row; Redis
        # cannot, but then this release refuses the key, so the fire time still runs once.
        other = key + "-other"
        if server.kind == "postgres":
            with pytest.raises(Exception, match="claims_of_tyvo_replicas_protocol_2_only"):
                await earlier_release_claims(server, place, other, fire_time)
        else:
            assert await earlier_release_claims(server, place, other, fire_time) > 0
            async with store_at(server, place) as claims:
                with pytest.raises(Exception, match="layout of another release"):
                    await claims.claim(other, "new", HOUR, fire_time)

    asyncio.run(scenario())
