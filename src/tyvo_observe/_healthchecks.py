"""Pings for every job run, in the healthchecks.io protocol, through httpx."""

from __future__ import annotations

import asyncio
import logging
import time
import urllib.parse
import weakref
from typing import TYPE_CHECKING

from tyvo_observe._check_ins import CheckIn, Monitor, SlugOf, check_in_runs, default_slug
from tyvo_observe._native import RunEvent
from tyvo_observe._subscriptions import Subscription

if TYPE_CHECKING:
    import httpx

_logger = logging.getLogger("tyvo.observe")

# At most one warning per this many seconds about pings that could not be sent.
_WARNING_INTERVAL = 60.0
# Pings on their way at most: more are dropped (a monitor slower than the runs would otherwise
# pile them up without end).
_MAX_IN_FLIGHT = 1000


def _shown(url: str) -> str:
    """The URL without what may be secret in it (the ping key, credentials, the query)."""
    parts = urllib.parse.urlsplit(url)
    return f"{parts.scheme}://{parts.hostname or ''}{f':{parts.port}' if parts.port else ''}/..."


class _RedactPings(logging.Filter):
    """httpx logs every request's URL at INFO: the ping URLs carry the ping key, so their records
    show the URL as `_shown` does."""

    def __init__(self) -> None:
        super().__init__()
        self.bases: dict[str, str] = {}

    def filter(self, record: logging.LogRecord) -> bool:
        args = record.args
        if isinstance(args, tuple) and len(args) >= 2:
            url = str(args[1])
            for base, shown in self.bases.items():
                if url.startswith(base):
                    record.args = (args[0], shown) + args[2:]
                    break
        return True


_redact = _RedactPings()
logging.getLogger("httpx").addFilter(_redact)


class _Pinger(Monitor):
    def __init__(self, base_url: str, timeout: float, create: bool) -> None:
        self._base = base_url.rstrip("/")
        self._shown = _shown(base_url)
        _redact.bases[self._base] = self._shown
        self._timeout = timeout
        self._create = create
        self._clients: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, httpx.AsyncClient] = (
            weakref.WeakKeyDictionary())
        self._sending: set[asyncio.Task[None]] = set()
        self._dropped = 0
        self._warned_at = -_WARNING_INTERVAL

    def _client(self) -> httpx.AsyncClient:
        import httpx

        loop = asyncio.get_running_loop()
        client = self._clients.get(loop)
        if client is None:
            client = self._clients[loop] = httpx.AsyncClient(timeout=self._timeout, follow_redirects=True)
        return client

    def _ping(self, slug: str, suffix: str, check_in: CheckIn) -> None:
        query = {"rid": check_in.id}
        if self._create:
            query["create"] = "1"
        url = f"{self._base}/{urllib.parse.quote(slug)}{suffix}?{urllib.parse.urlencode(query)}"
        if len(self._sending) >= _MAX_IN_FLIGHT:
            self._drop(slug, suffix, f"{_MAX_IN_FLIGHT} pings already on their way")
            return
        task = asyncio.get_running_loop().create_task(self._send(url, slug, suffix))
        self._sending.add(task)
        task.add_done_callback(self._sending.discard)

    async def _send(self, url: str, slug: str, suffix: str) -> None:
        try:
            response = await self._client().post(url)
            if response.status_code < 400:
                return
            problem = f"HTTP {response.status_code}"
        except Exception as error:  # a monitor that is down never reaches the job
            problem = type(error).__name__
        self._drop(slug, suffix, problem)

    def _drop(self, slug: str, suffix: str, problem: str) -> None:
        self._dropped += 1
        now = time.monotonic()
        if now - self._warned_at >= _WARNING_INTERVAL:
            self._warned_at = now
            _logger.warning("Dropped %d ping(s) to %s; last: %s%s failed: %s", self._dropped, self._shown,
                            slug, suffix or " (success)", problem)
            self._dropped = 0

    def start(self, event: RunEvent, check_in: CheckIn) -> None:
        self._ping(check_in.slug, "/start", check_in)

    def end(self, event: RunEvent, check_in: CheckIn, ok: bool) -> None:
        self._ping(check_in.slug, "" if ok else "/fail", check_in)

    async def wait(self) -> None:
        while self._sending:
            await asyncio.wait(set(self._sending))


class HealthchecksSubscription(Subscription):
    """A subscription whose pings can be waited for before the loop ends."""

    pinger: _Pinger | None = None

    async def flush(self) -> None:
        """Waits for the pings on their way (each is bounded by the timeout)."""
        if self.pinger is not None:
            await self.pinger.wait()


def healthchecks(base_url: str, *, slug: SlugOf = default_slug, timeout: float = 10.0, create: bool = False,
                 start_after: float = 1.0) -> HealthchecksSubscription:
    """Pings `base_url`/<slug> for every run in the healthchecks.io protocol (extra
    `tyvo[healthchecks]`): "/start" once the run has gone on for `start_after` seconds, then
    success (no suffix) or "/fail" as it ends, each with the run's `rid` (a UUID). `base_url`
    holds the ping key, e.g. "https://hc-ping.com/<ping-key>"; `create=True` asks the service to
    create checks it does not know. The slug is `slug(job_id)`. Each ping goes out as a task of
    its own, off the run's path, bounded by `timeout` seconds; one that fails is dropped, with a
    warning (at most one a minute) that shows the service's host but no part of the URL that may
    be secret. A run that ends within `start_after` seconds has only its end pinged: see
    sentry_crons() for why."""
    import httpx  # noqa: F401  (fails here, not in a run, without the client)

    if not base_url.startswith(("http://", "https://")):
        raise ValueError("base_url must be an http:// or https:// URL")
    if not timeout > 0:
        raise ValueError(f"timeout must be a number > 0, not {timeout!r}")
    pinger = _Pinger(base_url, timeout, create)
    subscription = check_in_runs(pinger, slug, start_after, HealthchecksSubscription)
    subscription.pinger = pinger
    return subscription
