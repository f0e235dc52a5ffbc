import asyncio
import uuid
from datetime import timedelta

import pytest

import tyvo_replicas
from servers import PostgresServer, RedisServer


@pytest.fixture(scope="session")
def redis_server():
    server = RedisServer()
    try:
        server.start()
        yield server
    finally:
        server.remove()


@pytest.fixture(scope="session")
def postgres_server():
    server = PostgresServer()
    try:
        server.start()
        yield server
    finally:
        server.remove()


def wait_until_vouched(server):
    """A store vouches for fire times only from a moment after it began keeping claims (its
    start, or its first claim): waits until that moment has passed, as in any long-running store."""
    async def probe():
        async with claims_for(server) as claims:
            if not hasattr(claims, "decide"):
                return  # a release that made no such promise: nothing to wait for
            while True:
                decision = await claims.decide("vouched-probe", "probe", timedelta(milliseconds=1))
                if decision.store_now - decision.since > timedelta(seconds=2.5):  # a whole second past the tolerance
                    return
                await asyncio.sleep(0.2)

    asyncio.run(probe())


@pytest.fixture(params=["redis", "postgres"])
def server(request):
    """Each store in turn; a test that stops it gets it back running afterwards."""
    server = request.getfixturevalue(f"{request.param}_server")
    wait_until_vouched(server)
    yield server
    if server.kind == "redis" and server.process is None:
        server.start()
    if server.kind == "postgres" and not (server.data / "postmaster.pid").exists():
        server.start()


def claims_for(server, url=None):
    url = url or server.url
    return tyvo_replicas.RedisClaims(url) if server.kind == "redis" else tyvo_replicas.PostgresClaims(url)


@pytest.fixture
def key():
    """A key no other test has used on the shared servers."""
    return f"key-{uuid.uuid4().hex[:12]}"
