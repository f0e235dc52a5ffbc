"""tyvo_cron used the way an application would, with the types checked by mypy (--strict) and,
when run, the values checked against what the types promise."""

import itertools
import pickle
from datetime import datetime, timezone
from typing import assert_type

import tyvo_cron

pattern = tyvo_cron.Pattern("CRON_TZ=Europe/Berlin 0 9 * * MON-FRI")
assert_type(pattern.expr, str)
start = datetime(2026, 1, 1, tzinfo=timezone.utc)

upcoming = pattern.next(start)
assert_type(upcoming, datetime | None)
assert upcoming is not None and upcoming.tzinfo is not None

before = pattern.previous(start)
assert_type(before, datetime | None)
assert before is not None and before < start

assert_type(pattern.matches(upcoming), bool)
assert pattern.matches(upcoming)

runs = list(itertools.islice(pattern.iter(start), 3))
assert_type(runs, list[datetime])
assert runs[0] == upcoming and len(runs) == 3

again: tyvo_cron.Pattern = pickle.loads(pickle.dumps(pattern))
assert again == pattern and hash(again) == hash(pattern) and repr(again) == repr(pattern)
assert_type(tyvo_cron.__version__, str)
