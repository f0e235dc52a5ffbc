import uuid

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


@pytest.fixture(params=["redis", "postgres"])
def server(request):
    """Each store in turn; a test that stops it gets it back running afterwards."""
    server = request.getfixturevalue(f"{request.param}_server")
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
