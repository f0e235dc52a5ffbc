"""tyvo_cron.Pattern through its Python API: the engine's own vector tables and the zoneinfo-based
reference, the rules that tie next, previous and matches together, datetimes at the edge, errors
word for word as schedule() gives them, and the value type."""

import codecs
import itertools
import pickle
import random
import re
import threading
from datetime import date, datetime, timedelta, timezone, tzinfo
from pathlib import Path
from zoneinfo import ZoneInfo

import pytest
import tyvo_cron
from tyvo_cron import Pattern

from scenario import scenario
from test_cron_zones import ZONES, clock_changes, random_pattern, reference_fires

VECTORS = Path(__file__).resolve().parents[1] / "native" / "cron"
UTC = timezone.utc
LIMIT = "CronScheduler time search limit exceeded."


# ---- the engine's vector tables, read from their C++ source ----------------------------------------

LITERAL = r'"(?:[^"\\]|\\.)*"'
STRING = rf"(?:{LITERAL}\s*)+"  # adjacent literals join, as in C++


def text_of(source):
    """A run of adjacent C++ string literals as the text they spell (escapes give UTF-8 bytes)."""
    raw = b"".join(codecs.escape_decode(piece[1:-1].encode("latin-1"))[0] for piece in re.findall(LITERAL, source))
    return raw.decode("utf-8")


def without_comments(source):
    return "\n".join(re.sub(r'^((?:[^"/]|' + LITERAL + r'|/(?!/))*)//.*$', r"\1", line) for line in source.splitlines())


def occurrence_vectors():
    source = without_comments((VECTORS / "occurrence_vectors_test.cpp").read_text())
    entry = re.compile(rf"\{{\s*({STRING}),\s*({STRING}),\s*\{{((?:\s*{STRING},?)*)\s*\}}\s*(?:,\s*(kLimit))?\s*\}}")
    for match in entry.finditer(source):
        start, pattern, listed, limit = match.groups()
        yield None, text_of(start), text_of(pattern), [text_of(s) for s in re.findall(LITERAL, listed)], bool(limit)


def zone_vectors():
    source = without_comments((VECTORS / "zone_vectors_test.cpp").read_text())
    entry = re.compile(rf"\{{\s*({STRING}),\s*({STRING}),\s*({STRING}),\s*\{{((?:\s*{STRING},?)*)\s*\}}\s*\}}")
    for match in entry.finditer(source):
        zone, start, pattern, listed = match.groups()
        yield (text_of(zone), text_of(start), f"CRON_TZ={text_of(zone)} {text_of(pattern)}",
               [text_of(s) for s in re.findall(LITERAL, listed)], False)


def utc_at(text):
    return datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=UTC)


def expect_reading(result, zone_name, instant):
    """`result` is `instant`, shown as the pattern's zone shows it (UTC without a zone)."""
    assert result is not None and result.astimezone(UTC) == instant
    if zone_name is None:
        assert result.tzinfo is UTC
        return
    reference = instant.astimezone(ZoneInfo(zone_name))  # zoneinfo's own reading, fold included
    assert result.tzinfo is ZoneInfo(zone_name)
    assert (result.replace(tzinfo=None), result.fold, result.utcoffset()) == \
        (reference.replace(tzinfo=None), reference.fold, reference.utcoffset())


def test_the_engines_vector_tables_forwards_backwards_and_matching():
    vectors = list(occurrence_vectors()) + list(zone_vectors())
    assert len(vectors) > 100, "the vector tables were not found in their sources"
    checked = 0
    for zone_name, start_text, text, occurrences, ends_in_limit in vectors:
        if not "0001" <= start_text[:4] <= "9999":
            continue  # no datetime for such a start
        pattern = Pattern(text)
        start = utc_at(start_text)
        expected = [utc_at(t) for t in occurrences]
        found = list(itertools.islice(pattern.iter(start), len(expected) + (1 if ends_in_limit else 0)))
        assert [f.astimezone(UTC) for f in found] == expected, (text, start_text)
        after = start
        for instant in expected:
            following = pattern.next(after)
            expect_reading(following, zone_name, instant)
            assert pattern.matches(following) and pattern.matches(instant)
            after = following
        if ends_in_limit:
            assert pattern.next(after) is None, (text, start_text)
        # Backwards from the last one, the same instants in reverse.
        for later, earlier in zip(reversed(expected), list(reversed(expected))[1:]):
            expect_reading(pattern.previous(later), zone_name, earlier)
        if expected:
            before_first = pattern.previous(expected[0])
            assert before_first is None or before_first <= start, (text, start_text)
        checked += 1
    assert checked > 100


def test_random_zoned_patterns_agree_with_the_zoneinfo_reference_both_ways():
    rng = random.Random(20261209)
    changes_by_zone_year = {}
    mismatches = []
    for _ in range(250):
        zone_name = rng.choice(ZONES)
        zone = ZoneInfo(zone_name)
        year = rng.randint(1995, 2035)
        changes = changes_by_zone_year.setdefault((zone_name, year), clock_changes(zone, year))
        if changes:
            start = rng.choice(changes) + rng.randint(-2 * 86400, 86400)
        else:
            start = int(datetime(year, 1, 1, tzinfo=UTC).timestamp()) + rng.randint(0, 364 * 86400)
        text, fields = random_pattern(rng)
        cut = start + 2 * 86400
        local_start = datetime.fromtimestamp(start, zone).date()
        fires = reference_fires(fields, zone, local_start - timedelta(days=2), local_start + timedelta(days=4))
        expected = sorted(t for t in fires if start < t < cut)
        pattern = Pattern(f"TZ={zone_name} {text}")
        forwards = [int(f.timestamp()) for f in itertools.takewhile(
            lambda f: f.timestamp() < cut, pattern.iter(datetime.fromtimestamp(start, UTC)))]
        backwards = []
        previous = pattern.previous(datetime.fromtimestamp(cut, UTC))
        while previous is not None and previous.timestamp() > start:
            backwards.append(int(previous.timestamp()))
            previous = pattern.previous(previous)
        if forwards != expected or backwards[::-1] != expected:
            mismatches.append((pattern.expr, start, forwards, backwards[::-1], expected))
    assert not mismatches, f"{len(mismatches)} disagree, e.g. {mismatches[:2]}"


# ---- next, previous and matches tied together ---------------------------------------------------------


def random_dialect_pattern(rng):
    """Any corner of the dialect: L, W, #, +, names, steps, years; sometimes zoned."""
    def part(low, high):
        a = rng.randint(low, high)
        b = rng.randint(a, high)
        return rng.choice([str(a), f"{a}-{b}", f"*/{rng.randint(1, high - low + 1)}", f"{a}/{rng.randint(1, 9)}",
                           f"{a}-{b}/{rng.randint(1, 5)}"])

    def field(low, high, star=0.4):
        return "*" if rng.random() < star else ",".join(part(low, high) for _ in range(rng.choice([1, 1, 2])))

    day = rng.choice(["*", "?", field(1, 31), "L", f"{rng.randint(1, 31)}W", f"L,{rng.randint(1, 28)}"])
    weekday = rng.choice(["*", "?", field(0, 7), f"{rng.randint(0, 7)}#{rng.randint(1, 5)}", f"{rng.randint(0, 7)}L",
                          "MON-FRI", "+" + field(0, 6, star=0), "SAT,SUN"])
    month = rng.choice(["*", "*", field(1, 12), "JAN,JUL"])
    body = f"{field(0, 59)} {field(0, 23, star=0.5)} {day} {month} {weekday}"
    shape = rng.random()
    if shape < 0.4:
        body = f"{field(0, 59, star=0.6)} {body}"
    elif shape < 0.5:
        body = f"{field(0, 59, star=0.6)} {body} {rng.choice(['*', '2020-2040', '*/3', '2031'])}"
    if rng.random() < 0.4:
        body = f"CRON_TZ={rng.choice(ZONES)} {body}"
    return body


def random_instant(rng):
    naive = datetime(2000, 1, 1) + timedelta(seconds=rng.randint(0, 40 * 365 * 86400),
                                             microseconds=rng.choice([0, 0, rng.randint(1, 999_999)]))
    shown_in = rng.choice([UTC, timezone(timedelta(hours=-7, minutes=-30)), ZoneInfo("Europe/Berlin"),
                           ZoneInfo("Australia/Lord_Howe")])
    return naive.replace(tzinfo=UTC).astimezone(shown_in)


def test_next_previous_and_matches_agree_on_random_patterns_and_instants():
    rng = random.Random(42)
    tried = 0
    while tried < 1500:
        try:
            pattern = Pattern(random_dialect_pattern(rng))
        except ValueError:
            continue
        tried += 1
        t = random_instant(rng)
        following, preceding = pattern.next(t), pattern.previous(t)
        context = (pattern.expr, t)
        on_t = pattern.matches(t)  # then t itself stands between the two
        for found in (following, preceding):
            if found is not None:
                assert found.microsecond == 0 and found.tzinfo is not None and pattern.matches(found), context
        if following is not None:
            assert following > t, context
            back = pattern.previous(following)
            assert back == (t if on_t else preceding), context
            assert list(itertools.islice(pattern.iter(t), 1)) == [following], context
        if preceding is not None:
            assert preceding < t, context
            forth = pattern.next(preceding)
            assert forth == (t if on_t else following), context
        if following is None and preceding is None:
            assert pattern.next(datetime(1, 1, 1, tzinfo=UTC)) is None, context
        whole = t.replace(microsecond=0)
        assert pattern.matches(whole) == (pattern.next(whole - timedelta(seconds=1)) == whole), context


def test_fractions_of_a_second():
    every_second = Pattern("* * * * * *")
    half_past = datetime(2026, 1, 1, 9, 0, 0, 500_000, tzinfo=UTC)
    assert every_second.next(half_past) == datetime(2026, 1, 1, 9, 0, 1, tzinfo=UTC)
    assert every_second.previous(half_past) == datetime(2026, 1, 1, 9, 0, 0, tzinfo=UTC)
    assert not every_second.matches(half_past) and every_second.matches(half_past.replace(microsecond=0))
    assert every_second.previous(half_past.replace(microsecond=0)) == datetime(2026, 1, 1, 8, 59, 59, tzinfo=UTC)
    # An offset with microseconds moves the instant, not the rounding.
    odd = timezone(timedelta(seconds=1, microseconds=250_000))
    assert every_second.next(datetime(2026, 1, 1, 9, 0, 1, 250_000, tzinfo=odd)) == \
        datetime(2026, 1, 1, 9, 0, 1, tzinfo=UTC)


def test_the_edges_of_the_searched_years():
    every_second = Pattern("* * * * * *")
    assert every_second.previous(datetime(1, 1, 1, tzinfo=UTC)) is None
    assert every_second.previous(datetime(1, 1, 1, 0, 0, 1, tzinfo=UTC)) == datetime(1, 1, 1, tzinfo=UTC)
    assert every_second.previous(datetime.max.replace(tzinfo=UTC)) == datetime(5000, 12, 31, 23, 59, 59, tzinfo=UTC)
    assert every_second.next(datetime(5000, 12, 31, 23, 59, 59, tzinfo=UTC)) is None
    # Before the year 1 in UTC, still an instant to search from.
    assert every_second.next(datetime(1, 1, 1, tzinfo=timezone(timedelta(hours=5)))) == datetime(1, 1, 1, tzinfo=UTC)
    once = Pattern("0 0 0 1 1 * 5000")
    assert list(once.iter(datetime(2026, 1, 1, tzinfo=UTC))) == [datetime(5000, 1, 1, tzinfo=UTC)]
    assert Pattern("0 0 30 2 *").next(datetime(2026, 1, 1, tzinfo=UTC)) is None
    assert Pattern("0 0 30 2 *").previous(datetime(2026, 1, 1, tzinfo=UTC)) is None


def test_the_repeated_hour_reads_with_fold():
    berlin = ZoneInfo("Europe/Berlin")
    quarter = Pattern("CRON_TZ=Europe/Berlin */30 * * * *")
    runs = list(itertools.islice(quarter.iter(datetime(2026, 10, 25, 0, 0, tzinfo=UTC)), 4))
    assert [(r.strftime("%H:%M%z"), r.fold) for r in runs] == [
        ("02:30+0200", 0), ("02:00+0100", 1), ("02:30+0100", 1), ("03:00+0100", 0)]
    # Input on the same wall clock: the second 02:30 is the later instant.
    second_pass = datetime(2026, 10, 25, 2, 30, fold=1, tzinfo=berlin)
    assert quarter.previous(second_pass).astimezone(UTC) == datetime(2026, 10, 25, 1, 0, tzinfo=UTC)
    assert Pattern("CRON_TZ=Europe/Berlin 30 2 * * *").matches(second_pass.replace(fold=0))
    assert not Pattern("CRON_TZ=Europe/Berlin 30 2 * * *").matches(second_pass)


# ---- datetimes at the edge, errors, the value type ---------------------------------------------------


class NoOffset(tzinfo):
    def utcoffset(self, dt):
        return None


class Moment(datetime):
    pass


def test_only_aware_datetimes_are_instants():
    pattern = Pattern("0 * * * *")
    for method in (pattern.next, pattern.previous, pattern.matches, pattern.iter):
        with pytest.raises(ValueError, match="naive datetime"):
            method(datetime(2026, 1, 1))
        with pytest.raises(ValueError, match="naive datetime"):
            method(datetime(2026, 1, 1, tzinfo=NoOffset()))
        for other in ("2026-01-01T00:00:00Z", 1767225600, date(2026, 1, 1), None):
            with pytest.raises(TypeError, match="cannot be converted to 'datetime'"):
                method(other)
    assert pattern.next(Moment(2026, 1, 1, 0, 30, tzinfo=UTC)) == datetime(2026, 1, 1, 1, tzinfo=UTC)
    with pytest.raises(TypeError):
        pattern.next()
    with pytest.raises(TypeError):
        pattern.next(datetime(2026, 1, 1, tzinfo=UTC), datetime(2026, 1, 1, tzinfo=UTC))


REFUSED = ["", "   ", "@midnight", "* * * *", "0 0 0 * * * * *", "60 * * * * *", "0 5-1 * * *", "*/0 * * * *",
           "0 0 * * X", "*,5 * * * *", "0 0 5L * *", "0 0 * * 1#6", "CRON_TZ=Mars/Base 0 9 * * *", "CRON_TZ= 0 9 * * *",
           "TZ=UTC", "TZ=europe/berlin 0 9 * * *", "TZ=../../etc/passwd * * * * *", "0 0 32W * *", "0 0 0 1 1 * 5001",
           "0 0 * * 8", "\x00 * * * *", "0 0 * * *\x00", "TZ=Europe/Berlin\x00x * * * * *"]


def test_refusals_carry_the_very_message_that_schedule_gives(python):
    ours = {}
    for text in REFUSED:
        with pytest.raises(ValueError) as refusal:
            Pattern(text)
        assert type(refusal.value) is ValueError
        ours[text] = str(refusal.value)
    result = python(scenario(f"""
        s = tyvo.Scheduler()
        async def job():
            pass
        for text in {REFUSED!r}:
            try:
                s.schedule(job, Cron(text))
                print("accepted", repr(text))
            except Exception as error:
                print(repr(str(error)))
    """))
    theirs = [eval(line) for line in result.stdout.splitlines()]
    assert theirs == [ours[text] for text in REFUSED]
    assert ours["CRON_TZ=Mars/Base 0 9 * * *"] == "Unknown time zone: Mars/Base"
    assert ours["60 * * * * *"] == "Component error: Number out of bounds."
    assert ours["TZ=Europe/Berlin\x00x * * * * *"] == "Unknown time zone: Europe/Berlin\x00x"
    with pytest.raises(TypeError, match="argument 'expr'"):
        Pattern(15)


def test_a_pattern_is_an_immutable_value():
    text = "CRON_TZ=Europe/Berlin 0 9 * * MON-FRI"
    pattern = Pattern(text)
    assert pattern.expr == text and repr(pattern) == f"Pattern({text!r})"
    assert Pattern(expr=text) == pattern and hash(Pattern(text)) == hash(pattern) and len({pattern, Pattern(text)}) == 1
    assert pattern != Pattern("cron_tz=Europe/Berlin 0 9 * * MON-FRI")  # the same meaning, another text
    assert pattern != text and not (pattern == text)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(pattern, protocol))
        assert again == pattern and again.next(datetime(2026, 1, 1, tzinfo=UTC)) == \
            pattern.next(datetime(2026, 1, 1, tzinfo=UTC))
    with pytest.raises(AttributeError):
        pattern.expr = "0 * * * *"
    with pytest.raises(AttributeError):
        pattern.anything = 1
    with pytest.raises(TypeError):
        Pattern.next = None
    with pytest.raises(TypeError):
        type("Hourly", (Pattern,), {})
    assert set(dir(tyvo_cron)) >= {"Pattern", "__version__"}


def test_many_threads_share_one_pattern():
    pattern = Pattern("CRON_TZ=America/St_Johns */7 * * * * *")
    starts = [datetime(2026, 3, 8, 5, tzinfo=UTC) + timedelta(seconds=97 * i) for i in range(200)]
    expected = [(pattern.next(t), pattern.previous(t), pattern.matches(t)) for t in starts]
    failures = []
    barrier = threading.Barrier(8)

    def work(offset):
        barrier.wait()
        for round_ in range(20):
            for i in range(len(starts)):
                k = (i + offset + round_) % len(starts)
                t = starts[k]
                if (pattern.next(t), pattern.previous(t), pattern.matches(t)) != expected[k]:
                    failures.append((offset, t))
            if list(itertools.islice(pattern.iter(starts[offset]), 3))[0] != expected[offset][0]:
                failures.append((offset, "iter"))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert not failures, failures[:5]


def test_datetimes_on_the_patterns_own_zone_read_as_zoneinfo_reads_them():
    # Such a datetime is read from the engine's zone data, the others through utcoffset(): the two
    # readings must be one, in repeated and skipped hours too, with either fold.
    rng = random.Random(7)
    for zone_name in ["Europe/Berlin", "Australia/Lord_Howe", "Pacific/Apia", "America/St_Johns", "Europe/Dublin",
                      "Asia/Kathmandu", "Europe/Amsterdam", "UTC"]:
        zone = ZoneInfo(zone_name)
        pattern = Pattern(f"CRON_TZ={zone_name} * * * * * *")
        walls = []
        for year in (1890, 1937, 1995, 2011, 2026, 2040, 2400):
            for change in clock_changes(zone, year)[:2]:
                walls += [datetime.fromtimestamp(change + delta, UTC).replace(tzinfo=None) + timedelta(hours=hours)
                          for delta in (-1, 0, 1) for hours in (-1, -0.5, 0, 0.5, 1)]
            walls.append(datetime(year, 1, 1) + timedelta(seconds=rng.randrange(365 * 86400)))
        for wall in walls:
            for fold in (0, 1):
                local = wall.replace(tzinfo=zone, fold=fold, microsecond=rng.choice([0, 250_000]))
                same_instant = local.astimezone(UTC)
                assert pattern.next(local) == pattern.next(same_instant), local
                assert pattern.previous(local) == pattern.previous(same_instant), local
                assert pattern.matches(local) == pattern.matches(same_instant), local
