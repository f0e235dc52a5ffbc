"""Cron patterns in time zones, held against Python's own zoneinfo.

The differential test draws random patterns and starts near clock changes from 1995 to 2035 in
zones with every kind of change the database records, and compares cron-next --batch (the engine
the scheduler uses) with a reference built here from zoneinfo alone: every local wall-clock time
the pattern matches is classified as occurring once, twice (clocks set back) or never (clocks set
forward), and the rules turn that into fire instants.
"""

import os
import random
import shutil
import subprocess
import sys
import sysconfig
from datetime import date, datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import pytest

from scenario import scenario

CRON_NEXT = os.path.join(sysconfig.get_path("scripts"), "cron-next")

ZONES = [
    "Europe/Berlin", "Europe/London", "Europe/Dublin",  # Dublin: negative daylight saving time
    "America/New_York", "America/St_Johns", "America/Havana", "America/Santiago",
    "America/Sao_Paulo", "Asia/Tehran",  # dropped daylight saving time in 2019 and 2022
    "Australia/Sydney", "Australia/Lord_Howe",  # southern summer; a 30-minute shift
    "Pacific/Chatham", "Asia/Kathmandu",  # 45-minute offsets
    "Pacific/Auckland", "Pacific/Apia",  # Apia skipped 30 December 2011
    "Africa/Casablanca", "Asia/Gaza", "Antarctica/Troll", "UTC",
]


@pytest.fixture(scope="module")
def cron_next():
    assert os.access(CRON_NEXT, os.X_OK), f"pip install . put no cron-next into {os.path.dirname(CRON_NEXT)}"
    return CRON_NEXT


def batch(cron_next, lines, env=None):
    text = "".join(f"{start}\t{count}\t{pattern}\n" for start, count, pattern in lines)
    result = subprocess.run([cron_next, "--batch"], input=text, capture_output=True, text=True, timeout=120,
                            env=env, check=True)
    return result.stdout.splitlines()


def utc_text(ts):
    return datetime.fromtimestamp(ts, timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def parse_utc(text):
    return int(datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc).timestamp())


def offset_at(zone, ts):
    return datetime.fromtimestamp(ts, zone).utcoffset()


def clock_changes(zone, year):
    """The instants in `year` at which the zone's UTC offset changes (daily samples, then bisection)."""
    begin = int(datetime(year, 1, 1, tzinfo=timezone.utc).timestamp())
    changes = []
    for day in range(366):
        lo, hi = begin + day * 86400, begin + (day + 1) * 86400
        if offset_at(zone, lo) == offset_at(zone, hi):
            continue
        while hi - lo > 1:
            mid = (lo + hi) // 2
            lo, hi = (mid, hi) if offset_at(zone, mid) == offset_at(zone, lo) else (lo, mid)
        changes.append(hi)
    return changes


# ---- the reference: fields as sets, matched on local wall-clock time ----------------------------

SECONDS = {"0": [0], "30": [30], "0,30": [0, 30], "*/20": [0, 20, 40], "15": [15]}
MINUTES = {"0": [0], "30": [30], "*/15": [0, 15, 30, 45], "45": [45], "0-10/5": [0, 5, 10], "59": [59],
           "*": list(range(60))}
HOURS = {"*": list(range(24)), "2": [2], "1": [1], "0": [0], "3": [3], "1-3": [1, 2, 3], "*/2": list(range(0, 24, 2)),
         "2,3": [2, 3], "23": [23], "0-4": [0, 1, 2, 3, 4], "12": [12]}
DAYS = {"*": None, "1-15": set(range(1, 16)), "10,20,30": {10, 20, 30}, "31": {31}}
WEEKDAYS = {"*": None, "0": {0}, "1-5": {1, 2, 3, 4, 5}, "6": {6}}


def random_pattern(rng):
    hour = rng.choice(list(HOURS))
    minute = rng.choice([m for m in MINUTES if m != "*" or hour != "*"])  # keep the candidates few
    second = rng.choice(list(SECONDS)) if minute != "*" else "0"
    day = rng.choice(["*", "*", "*"] + list(DAYS))
    weekday = rng.choice(["*", "*", "*"] + list(WEEKDAYS))
    fields = dict(second=second, minute=minute, hour=hour, day=day, weekday=weekday)
    if second == "0" and rng.random() < 0.3:
        text = f"{minute} {hour} {day} * {weekday}"  # the five-field form
    else:
        text = f"{second} {minute} {hour} {day} * {weekday}"
    return text, fields


def date_matches(fields, d):
    days, weekdays = DAYS[fields["day"]], WEEKDAYS[fields["weekday"]]
    by_day = days is None or d.day in days
    by_weekday = weekdays is None or (d.weekday() + 1) % 7 in weekdays
    if days is None or weekdays is None:
        return by_day and by_weekday
    return by_day or by_weekday


def instants_of(zone, naive):
    """The UTC instants at which the zone's clock shows `naive`: one, two, or none."""
    found = set()
    for fold in (0, 1):
        ts = int(naive.replace(tzinfo=zone, fold=fold).timestamp())
        if datetime.fromtimestamp(ts, zone).replace(tzinfo=None) == naive:
            found.add(ts)
    return sorted(found)


def end_of_gap(zone, naive):
    """The first instant after the clock change that skipped `naive`."""
    ends = sorted(int(naive.replace(tzinfo=zone, fold=fold).timestamp()) for fold in (0, 1))
    lo, hi = ends
    before = offset_at(zone, lo)
    assert offset_at(zone, hi) != before
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (mid, hi) if offset_at(zone, mid) == before else (lo, mid)
    return hi


def reference_fires(fields, zone, first_day, last_day):
    hour_unrestricted = fields["hour"] == "*"
    times = [(h, m, s) for h in HOURS[fields["hour"]] for m in MINUTES[fields["minute"]]
             for s in SECONDS[fields["second"]]]
    fires = set()
    d = first_day
    while d <= last_day:
        if date_matches(fields, d):
            for h, m, s in times:
                naive = datetime(d.year, d.month, d.day, h, m, s)
                instants = instants_of(zone, naive)
                if len(instants) == 2 and not hour_unrestricted:
                    instants = instants[:1]  # the first pass only
                if not instants and not hour_unrestricted:
                    instants = [end_of_gap(zone, naive)]
                fires.update(instants)
        d += timedelta(days=1)
    return fires


def test_random_patterns_near_clock_changes_agree_with_zoneinfo(cron_next):
    rng = random.Random(20261208)
    cases = []
    changes_by_zone_year = {}
    while len(cases) < 1500:
        zone_name = rng.choice(ZONES)
        zone = ZoneInfo(zone_name)
        year = rng.randint(1995, 2035)
        changes = changes_by_zone_year.setdefault((zone_name, year), clock_changes(zone, year))
        if changes:
            start = rng.choice(changes) + rng.randint(-2 * 86400, 86400)
        else:
            start = int(datetime(year, 1, 1, tzinfo=timezone.utc).timestamp()) + rng.randint(0, 364 * 86400)
        text, fields = random_pattern(rng)
        keyword = rng.choice(["CRON_TZ", "TZ", "cron_tz", "Tz"])
        cut = start + 2 * 86400  # compare the fires in (start, cut)
        local_start = datetime.fromtimestamp(start, zone).date()
        fires = reference_fires(fields, zone, local_start - timedelta(days=2), local_start + timedelta(days=4))
        expected = sorted(t for t in fires if start < t < cut)
        cases.append((zone_name, text, f"{keyword}={zone_name} {text}", start, cut, expected))

    answers = batch(cron_next, [(utc_text(start), len(expected) + 1, pattern)
                                for _, _, pattern, start, _, expected in cases])
    assert len(answers) == len(cases)
    mismatches = []
    for (zone_name, text, pattern, start, cut, expected), answer in zip(cases, answers):
        assert answer.startswith("ok "), (pattern, answer)
        found = [t for t in map(parse_utc, answer.split()[1:]) if t < cut]
        if found != expected:
            mismatches.append((pattern, utc_text(start), [utc_text(t) for t in found], [utc_text(t) for t in expected]))
    assert not mismatches, f"{len(mismatches)} of {len(cases)} disagree, e.g. {mismatches[:3]}"


def test_the_rules_on_the_worked_examples_of_the_documentation(cron_next):
    # Berlin changes on the last Sunday of March (02:00 -> 03:00) and of October (03:00 -> 02:00).
    berlin = ZoneInfo("Europe/Berlin")
    spring = [c for c in clock_changes(berlin, 2026) if c < parse_utc("2026-06-01T00:00:00Z")][0]
    autumn = [c for c in clock_changes(berlin, 2026) if c > parse_utc("2026-06-01T00:00:00Z")][0]
    assert datetime.fromtimestamp(spring, berlin).date() == date(2026, 3, 29)
    assert datetime.fromtimestamp(autumn, berlin).date() == date(2026, 10, 25)
    answers = batch(cron_next, [
        ("2026-03-28T12:00:00Z", 2, "CRON_TZ=Europe/Berlin 30 2 * * *"),   # 02:30 does not exist on 29 March
        ("2026-03-29T00:00:00Z", 3, "CRON_TZ=Europe/Berlin */30 * * * *"),  # hour "*": the gap is skipped
        ("2026-10-24T12:00:00Z", 2, "CRON_TZ=Europe/Berlin 30 2 * * *"),   # 02:30 happens twice on 25 October
        ("2026-10-25T00:00:00Z", 4, "CRON_TZ=Europe/Berlin */30 * * * *"),  # hour "*": both passes
    ])
    local = lambda text: datetime.fromtimestamp(parse_utc(text), berlin).strftime("%d %H:%M%z")
    assert [[local(t) for t in a.split()[1:]] for a in answers] == [
        ["29 03:00+0200", "30 02:30+0200"],
        ["29 01:30+0100", "29 03:00+0200", "29 03:30+0200"],
        ["25 02:30+0200", "26 02:30+0100"],
        ["25 02:30+0200", "25 02:00+0100", "25 02:30+0100", "25 03:00+0100"],
    ]
    assert utc_text(spring) == "2026-03-29T01:00:00Z" and utc_text(autumn) == "2026-10-25T01:00:00Z"


def test_local_flag_prints_the_zones_own_reading(cron_next):
    for zone_name, pattern, start in [("Europe/Berlin", "30 2 * * *", "2026-03-28T00:00:00Z"),
                                      ("Asia/Kathmandu", "0 0 * * *", "2026-01-01T00:00:00Z"),
                                      ("America/St_Johns", "0 */6 * * *", "2026-11-01T00:00:00Z"),
                                      ("Europe/Amsterdam", "0 0 1 * *", "1900-01-01T00:00:00Z")]:  # +00:19:32
        zone = ZoneInfo(zone_name)
        out = subprocess.run([cron_next, "--local", f"TZ={zone_name} {pattern}", start, "4"], capture_output=True,
                             text=True, check=True).stdout.split("\n")[:-1]
        for line in out:
            utc, local = line.split(" ")
            assert local == datetime.fromtimestamp(parse_utc(utc), zone).isoformat(), line
    plain = subprocess.run([cron_next, "--local", "0 0 * * *", "2026-01-01T00:00:00Z", "1"], capture_output=True,
                           text=True, check=True).stdout
    assert plain == "2026-01-02T00:00:00Z 2026-01-02T00:00:00+00:00\n"


def test_refusals_of_zones_and_prefixes(cron_next):
    answers = batch(cron_next, [("2026-01-01T00:00:00Z", 1, p) for p in [
        "CRON_TZ=Mars/Olympus 0 9 * * *", "TZ=europe/berlin 0 9 * * *", "CRON_TZ=../../etc/passwd * * * * *",
        "TZ=/usr/share/zoneinfo/UTC * * * * *", "TZ=Europe/../UTC * * * * *", "TZ=zone.tab * * * * *",
        "CRON_TZ= 0 9 * * *", "CRON_TZ=Europe/Berlin", "TZ=UTC   ", "TZ=UTC 0 9 * * X", "CRON_TZ =UTC 0 9 * * *",
    ]])
    assert answers == [
        "error Unknown time zone: Mars/Olympus",
        "error Unknown time zone: europe/berlin",
        "error Unknown time zone: ../../etc/passwd",
        "error Unknown time zone: /usr/share/zoneinfo/UTC",
        "error Unknown time zone: Europe/../UTC",
        "error Unknown time zone: zone.tab",  # a file in the directory, but not a zone
        "error Invalid pattern: Time zone prefix must name a time zone.",
        "error Invalid pattern: Time zone prefix must be followed by a pattern.",
        "error Invalid pattern: Time zone prefix must be followed by a pattern.",
        "error Pattern contains illegal characters: CronPattern contains illegal character 'X' in part 'X'",
        # not a prefix: the keyword and "=" are apart, and a field with a letter is refused as before
        "error Pattern contains illegal characters: CronPattern contains illegal character 'C' in part 'CRON_TZ'",
    ]


def make_tzdata_package(root):
    """A stand-in for the tzdata package holding one zone, Test/Kathmandu."""
    package = os.path.join(root, "tzdata")
    os.makedirs(os.path.join(package, "zoneinfo", "Test"))
    for directory in (package, os.path.join(package, "zoneinfo"), os.path.join(package, "zoneinfo", "Test")):
        open(os.path.join(directory, "__init__.py"), "w").close()
    shutil.copy(os.path.join(sysconfig.get_config_var("TZPATH").split(os.pathsep)[0], "Asia", "Kathmandu"),
                os.path.join(package, "zoneinfo", "Test", "Kathmandu"))


def test_cron_next_finds_zones_as_zoneinfo_does(cron_next, tmp_path):
    # PYTHONTZPATH replaces the default directories, as it does for zoneinfo.
    tzpath = tmp_path / "tz"
    (tzpath / "Test").mkdir(parents=True)
    shutil.copy(os.path.join(sysconfig.get_config_var("TZPATH").split(os.pathsep)[0], "Asia", "Tehran"),
                tzpath / "Test" / "Tehran")
    line = [("2026-01-01T00:00:00Z", 1, "TZ=Test/Tehran 0 0 * * *"), ("2026-01-01T00:00:00Z", 1, "TZ=UTC * * * * *")]
    assert batch(cron_next, line, env={**os.environ, "PYTHONTZPATH": str(tzpath)}) == [
        "ok 2026-01-01T20:30:00Z", "error Unknown time zone: UTC"]

    # The tzdata package beside the program's own scripts directory comes after the directories.
    scripts = tmp_path / "env" / "bin"
    scripts.mkdir(parents=True)
    shutil.copy(cron_next, scripts / "cron-next")
    site = os.path.normpath(scripts / os.path.relpath(sysconfig.get_path("purelib"), sysconfig.get_path("scripts")))
    make_tzdata_package(site)
    line = [("2026-01-01T00:00:00Z", 1, "TZ=Test/Kathmandu 0 0 * * *")]
    assert batch(str(scripts / "cron-next"), line, env={**os.environ, "PYTHONTZPATH": ""}) == ["ok 2026-01-01T18:15:00Z"]
    assert batch(cron_next, line, env={**os.environ, "PYTHONTZPATH": ""}) == ["error Unknown time zone: Test/Kathmandu"]


def test_schedule_finds_zones_where_zoneinfo_does(python, tmp_path):
    make_tzdata_package(str(tmp_path))
    python(scenario("""
        import zoneinfo
        s = tyvo.Scheduler()
        async def job():
            pass
        zoneinfo.ZoneInfo("Test/Kathmandu")  # zoneinfo finds it in the tzdata package ...
        await s.schedule(job, Cron("TZ=Test/Kathmandu 0 0 * * *"))  # ... and so does tyvo
        for pattern in ["CRON_TZ=Europe/Berlin 0 9 * * *", "CRON_TZ=Nowhere/Land 0 9 * * *"]:
            try:
                await s.schedule(job, Cron(pattern))
                raise AssertionError("accepted " + pattern)
            except Exception as error:
                assert str(error) == "Unknown time zone: " + pattern.split()[0][8:], error
        import os, sysconfig
        zoneinfo.reset_tzpath(sysconfig.get_config_var("TZPATH").split(os.pathsep))
        await s.schedule(job, Cron("CRON_TZ=Europe/Berlin 0 9 * * *"))  # reset_tzpath is followed
        for pattern, text in [("CRON_TZ= 0 9 * * *", "Invalid pattern: Time zone prefix must name a time zone."),
                              ("TZ=UTC", "Invalid pattern: Time zone prefix must be followed by a pattern."),
                              ("TZ=UTC *,5 * * * *", "Component error: Invalid number.")]:
            try:
                await s.schedule(job, Cron(pattern))
                raise AssertionError("accepted " + pattern)
            except Exception as error:
                assert type(error) is Exception and str(error) == text, (pattern, error)
    """), env={"PYTHONPATH": str(tmp_path), "PYTHONTZPATH": ""})


def test_every_second_zoned_job_runs_on_the_zones_minutes(python):
    # Kathmandu is 5:45 ahead of UTC, so its minute never equals the UTC minute: a job limited to
    # the current and the next local minute runs every second only if the fields are read there.
    python(scenario("""
        from zoneinfo import ZoneInfo
        now = datetime.datetime.now(ZoneInfo("Asia/Kathmandu"))
        assert now.utcoffset() % timedelta(hours=1) >= timedelta(minutes=2), "the zone's minutes must differ"
        minutes = f"{now.minute},{(now.minute + 1) % 60}"
        s = tyvo.Scheduler()
        local, utc = [], []
        async def in_zone():
            local.append(time.time())
        async def in_utc():
            utc.append(time.time())
        await s.schedule(in_zone, Cron(f"CRON_TZ=Asia/Kathmandu * {minutes} * * * *"))
        await s.schedule(in_utc, Cron(f"* {minutes} * * * *"))
        runner = asyncio.ensure_future(s.start())
        await wait_for(lambda: len(local) >= 4, timeout=20)
        await s.shutdown()
        await runner
        later = local[1:]  # the first run is immediate
        assert len({int(t) for t in later}) == len(later), later  # one run per second
        assert all(t - int(t) < 0.5 for t in later), later  # at the start of each second
        assert len(utc) == 1, "the same minutes in UTC are 45 minutes away"
    """))
