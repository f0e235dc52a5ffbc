"""Fire times that once() lets pass on this replica: logged (misses only, rate-limited) on
"tyvo.replicas", and handed to tyvo_observe's run events when that module is there."""

import importlib
import logging
import threading
import time
from datetime import datetime, timezone
from typing import Any

logger = logging.getLogger("tyvo.replicas")

CLAIMED_ELSEWHERE = "claimed_elsewhere"
HELD_BY_PREVIOUS_RUN = "held_by_previous_run"
OUTSIDE_CATCH_UP = "outside_catch_up"
STORE_UNAVAILABLE = "store_unavailable"
CLOCK_AHEAD = "clock_ahead"
CLAIM_LOST = "claim_lost"

# Per key and reason, at most one log line per this many seconds; the next one counts the rest.
LOG_EVERY = 10.0

_lock = threading.Lock()
_last_logged: dict[tuple[str, str], tuple[float, int]] = {}
_missing = object()
_hook: Any = None


def report_skip(due: datetime, reason: str) -> None:
    """Hands the skipped fire time to tyvo_observe, if installed; never raises."""
    skipped = _skipped()
    if skipped is None:
        return
    try:
        skipped(due.astimezone(timezone.utc), reason)
    except Exception:
        logger.debug("Reporting the skipped run at %s failed", due, exc_info=True)


def _skipped() -> Any:
    global _hook
    if _hook is None:
        try:
            module = importlib.import_module("tyvo_observe._replica_events")
            _hook = getattr(module, "skipped", _missing)
        except ImportError:
            _hook = _missing
    return None if _hook is _missing else _hook


def log_miss(key: str, reason: str, level: int, message: str, *args: object) -> None:
    """Logs a missed fire time, at most once per LOG_EVERY seconds per key and reason."""
    now = time.monotonic()
    with _lock:
        last, quiet = _last_logged.get((key, reason), (-LOG_EVERY, 0))
        if now - last < LOG_EVERY:
            _last_logged[(key, reason)] = (last, quiet + 1)
            return
        _last_logged[(key, reason)] = (now, 0)
    if quiet:
        message += " (%d more like it not logged in the last %.0f s)"
        args = (*args, quiet, LOG_EVERY)
    logger.log(level, message, *args)
