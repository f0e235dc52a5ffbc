"""Misuses of tyvo_cron that its stub must make mypy reject (markers as in type_errors.py)."""

from datetime import datetime, timezone

import tyvo_cron

pattern = tyvo_cron.Pattern("*/15 * * * *")
start = datetime(2026, 1, 1, tzinfo=timezone.utc)
tyvo_cron.Pattern(15)  # expect: arg-type
certain: datetime = pattern.next(start)  # expect: assignment
pattern.next("2026-01-01T00:00:00Z")  # expect: arg-type
pattern.previous(dt=start)  # expect: call-arg
pattern.expr = "0 * * * *"  # expect: misc


class Hourly(tyvo_cron.Pattern):  # expect: misc
    pass
