"""Fire times of a cron trigger: the occurrence a call of a cron job belongs to."""

import importlib
from datetime import datetime, timedelta
from typing import Any

SECOND = timedelta(seconds=1)


class FireTimes:
    def __init__(self, expr: str) -> None:
        try:
            cron = importlib.import_module("tyvo_cron")
        except ImportError as error:
            raise ImportError("per-fire-time claims need the tyvo_cron module, installed with tyvo") from error
        self._pattern: Any = cron.Pattern(expr)

    def latest(self, now: datetime) -> datetime | None:
        """The latest occurrence at or before `now` (aware), None if there is none. Occurrences
        fall on whole seconds, so the last one before the next whole second is the one."""
        result: datetime | None = self._pattern.previous(now.replace(microsecond=0) + SECOND)
        return result

    def between(self, after: datetime, before: datetime, limit: int) -> list[datetime]:
        """The occurrences strictly between `after` and `before`, oldest first: at most `limit`
        of them, the latest ones."""
        found: list[datetime] = []
        moment = before
        while len(found) < limit:
            earlier: datetime | None = self._pattern.previous(moment)
            if earlier is None or earlier <= after:
                break
            found.append(earlier)
            moment = earlier
        return found[::-1]
