"""Prints what tyvo_cron answers for a few thousand patterns and instants, one line each, made the
same way on every machine (a seeded generator): the output of an aarch64 build must equal the
output of an x86_64 build byte for byte. The patterns mix every field form, refused texts
included (their messages are compared too), and a few zones, whose instants stay in 2000-2024 so
that two tzdata releases cannot disagree.

Usage: python cron_cases.py [COUNT]   (patterns; 5 instants each)
"""

import random
import sys
from datetime import datetime, timedelta, timezone

import tyvo_cron

ZONES = ["Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "Asia/Kolkata", "America/St_Johns"]
DAYS = ["SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"]
MONTHS = ["JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"]


def numeric(rng, low, high):
    """One item of a numeric field: a value, a range, a step, a list, or a (rare) bad value."""
    if rng.randrange(40) == 0:
        return str(rng.choice([high + 1, low - 1 if low > 0 else high + 7]))   # out of bounds
    kind = rng.randrange(6)
    a, b = sorted(rng.randint(low, high) for _ in range(2))
    if kind == 0:
        return "*"
    if kind == 1:
        return str(a)
    if kind == 2:
        return f"{a}-{b}"
    if kind == 3:
        return f"*/{rng.randint(1, max(1, high - low))}"
    if kind == 4:
        return f"{a}-{b}/{rng.randint(1, 7)}"
    return ",".join(str(rng.randint(low, high)) for _ in range(rng.randint(2, 4)))


def day_of_month(rng):
    kind = rng.randrange(5)
    if kind == 0:
        return "L"
    if kind == 1:
        return f"{rng.randint(1, 31)}W"
    return numeric(rng, 1, 31)


def day_of_week(rng):
    kind = rng.randrange(7)
    if kind == 0:
        return f"{rng.randint(0, 6)}#{rng.randint(1, 5)}"
    if kind == 1:
        return f"{rng.randint(0, 6)}L"
    if kind == 2:
        return f"{rng.choice(DAYS)}-{rng.choice(DAYS)}"
    if kind == 3:
        return "+" + numeric(rng, 0, 7)
    return numeric(rng, 0, 7)


def month(rng):
    return rng.choice(MONTHS) if rng.randrange(4) == 0 else numeric(rng, 1, 12)


def pattern(rng):
    """A pattern of 5, 6 (seconds first) or 7 (with the year) fields, sometimes with a zone."""
    fields = [numeric(rng, 0, 59), numeric(rng, 0, 23), day_of_month(rng), month(rng), day_of_week(rng)]
    width = rng.choice([5, 5, 6, 7])
    if width >= 6:
        fields.insert(0, numeric(rng, 0, 59))
    if width == 7:
        fields.append(rng.choice(["*", f"{rng.randint(1990, 2030)}", f"{rng.randint(1990, 2010)}-{rng.randint(2011, 2040)}"]))
    text = " ".join(fields)
    zoned = rng.randrange(4) == 0
    if zoned:
        text = f"CRON_TZ={rng.choice(ZONES)} {text}"
    return text, zoned


def instant(rng, zoned):
    """An aware instant: any year for UTC patterns, 2000-2024 for zoned ones; sometimes with a
    fraction of a second, sometimes given in another zone's fixed offset."""
    low, high = (datetime(2000, 1, 1), datetime(2024, 12, 1)) if zoned else (datetime(1, 1, 2), datetime(4999, 12, 1))
    seconds = rng.randrange(int((high - low).total_seconds()))
    moment = (low + timedelta(seconds=seconds, microseconds=rng.choice([0, 0, 500_000]))).replace(tzinfo=timezone.utc)
    if rng.randrange(3) == 0 and low.year > 1:
        moment = moment.astimezone(timezone(timedelta(minutes=rng.randrange(-12 * 60, 14 * 60, 15))))
    return moment


def shown(moment):
    return "None" if moment is None else moment.astimezone(timezone.utc).isoformat() + f" fold={moment.fold}"


def main(count):
    rng = random.Random(20261209)
    for number in range(count):
        text, zoned = pattern(rng)
        try:
            compiled = tyvo_cron.Pattern(text)
        except ValueError as refused:
            print(f"{number} {text!r} refused: {refused}")
            continue
        for _ in range(5):
            start = instant(rng, zoned)
            following = list(zip(range(3), compiled.iter(start)))
            print(f"{number} {text!r} {start.isoformat()}: next {shown(compiled.next(start))}"
                  f" previous {shown(compiled.previous(start))} matches {compiled.matches(start)}"
                  f" iter {[shown(moment) for _, moment in following]}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 800)
