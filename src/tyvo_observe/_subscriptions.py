"""Subscribers to run events, and the two callables the native side hands every event to."""

from __future__ import annotations

import asyncio
import logging
import threading
from collections.abc import Callable
from types import TracebackType
from typing import TypeVar

from tyvo_observe._native import RunEvent, set_sinks

EventCallback = Callable[[RunEvent], object]

_logger = logging.getLogger("tyvo.observe")


class Subscription:
    """A subscriber's hold on the events; close() (or leaving a `with` block) lets go."""

    def __init__(self, callback: EventCallback, on_start: EventCallback | None) -> None:
        self.callback = callback
        self.on_start = on_start
        self._closed = False

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stops the events; idempotent. Events already on their way to the loop are not delivered."""
        _remove(self)

    def __enter__(self) -> Subscription:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<tyvo_observe.Subscription {state} {self.callback!r}>"


# Replaced as a whole under the lock, read without it by the sinks on any loop's thread.
_lock = threading.Lock()
_subscriptions: tuple[Subscription, ...] = ()
_starters: tuple[Subscription, ...] = ()


def subscribe(callback: EventCallback, *, on_start: EventCallback | None = None) -> Subscription:
    """Calls `callback(event)` for every run, skipped fire time and job end of every tyvo
    Scheduler in the process, on the job's own event loop. `on_start(event)`, if given, is called
    as each run starts, just before its coroutine's first step and inside the run's own context
    (a context variable it sets is seen by the handler); the same event object, complete, later
    goes to `callback`. An exception from either is reported to the loop's exception handler."""
    if not callable(callback):
        raise TypeError(f"callback must be callable, not {type(callback).__name__}")
    if on_start is not None and not callable(on_start):
        raise TypeError(f"on_start must be callable or None, not {type(on_start).__name__}")
    return add(Subscription(callback, on_start))


_Kind = TypeVar("_Kind", bound=Subscription)


def add(subscription: _Kind) -> _Kind:
    """Starts the events for a subscription made here (of a subclass, say)."""
    global _subscriptions, _starters
    with _lock:
        _subscriptions = _subscriptions + (subscription,)
        _starters = tuple(entry for entry in _subscriptions if entry.on_start is not None)
        _install()
    return subscription


def _remove(subscription: Subscription) -> None:
    global _subscriptions, _starters
    with _lock:
        if subscription._closed:
            return
        subscription._closed = True
        _subscriptions = tuple(entry for entry in _subscriptions if entry is not subscription)
        _starters = tuple(entry for entry in _starters if entry is not subscription)
        _install()


def _install() -> None:
    # With nobody subscribed the native side is told so, and no event goes to Python.
    if not _subscriptions:
        set_sinks(None, None)
    else:
        set_sinks(_deliver, _start if _starters else None)


def _report(error: Exception, subscription: Subscription, event: RunEvent) -> None:
    message = f"tyvo_observe subscriber {subscription.callback!r} failed on {event!r}"
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        _logger.warning(message, exc_info=error)
        return
    loop.call_exception_handler({"message": message, "exception": error, "subscription": subscription})


def subscribed() -> bool:
    return bool(_subscriptions)


def deliver(event: RunEvent) -> None:
    """Hands an event made on the Python side to every subscriber."""
    _deliver(event)


def report_internal(message: str) -> None:
    _logger.warning(message, exc_info=True)


def _deliver(event: RunEvent) -> None:
    for subscription in _subscriptions:
        try:
            subscription.callback(event)
        except Exception as error:
            _report(error, subscription, event)


def _start(event: RunEvent) -> None:
    for subscription in _starters:
        on_start = subscription.on_start
        if on_start is None:
            continue
        try:
            on_start(event)
        except Exception as error:
            _report(error, subscription, event)
