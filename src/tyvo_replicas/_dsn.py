"""A structural check of PostgreSQL connection strings, so that a malformed one is refused when
the store is made rather than at the first run, hours later."""

import re
from urllib.parse import urlsplit

SCHEMES = ("postgres", "postgresql")
HOST_PORT = re.compile(r"(\[[0-9A-Fa-f:.]+\]|[^\[\]:/,]*)(:(\d{0,5}))?")
KEY_VALUE = re.compile(r"\s*([A-Za-z_][A-Za-z0-9_]*)\s*=\s*('(?:[^'\\]|\\.)*'|[^\s']+)\s*")


def check_dsn(dsn: str) -> None:
    """Raises ValueError if `dsn` is neither a postgresql:// URL nor key=value pairs."""
    if "://" in dsn:
        _check_url(dsn)
    elif dsn.strip():
        _check_key_values(dsn)


def _check_url(dsn: str) -> None:
    scheme = dsn.split("://", 1)[0].lower()
    if scheme not in SCHEMES:
        raise ValueError(f"malformed PostgreSQL DSN: the scheme must be postgresql:// or postgres://, got {scheme}://")
    try:
        parts = urlsplit(dsn)
    except ValueError as error:
        raise ValueError(f"malformed PostgreSQL DSN: {error}") from None
    hosts = parts.netloc.rpartition("@")[2]
    for host in hosts.split(",") if hosts else []:
        found = HOST_PORT.fullmatch(host)
        port = found.group(3) if found else None
        if not found or (port is not None and (not port or not 0 < int(port) < 65536)):
            raise ValueError(f"malformed PostgreSQL DSN: bad host or port {host!r}")
    for pair in filter(None, parts.query.split("&")):
        if "=" not in pair:
            raise ValueError(f"malformed PostgreSQL DSN: query parameter {pair!r} has no value")


def _check_key_values(dsn: str) -> None:
    position = 0
    while position < len(dsn):
        found = KEY_VALUE.match(dsn, position)
        if not found or found.end() == position:
            raise ValueError(f"malformed PostgreSQL DSN: expected key=value at {dsn[position:]!r}")
        position = found.end()
