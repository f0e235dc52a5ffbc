"""Timed waits must not follow the wall clock: a wait timed on CLOCK_REALTIME lasts an hour longer
when the clock is set back an hour. Whether a C++ runtime's timed condition-variable wait uses the
monotonic clock depends on the C++ library and the glibc it was built for (libc++ built for an old
glibc does not), so this watches the waits themselves: strace shows each futex wait's clock."""

import re
import shutil
import subprocess
import sys

import pytest

from conftest import LOOP_PROLOGUES, LOOP

# glibc marks waits on the wall clock with FUTEX_CLOCK_REALTIME; untimed waits carry the flag too,
# so only waits with a timeout count.
TIMED_WAIT = re.compile(r"futex\([^,]+, FUTEX_WAIT_BITSET\w*(?P<realtime>\|FUTEX_CLOCK_REALTIME)?, \d+, \{tv_sec=")

JOBS = """
import asyncio, tyvo
from datetime import timedelta
async def main():
    runs = []
    async def tick(): runs.append(1)
    s = tyvo.Scheduler()
    await s.schedule(tick, tyvo.Trigger.Interval(timedelta(milliseconds=20)))
    await s.schedule(tick, tyvo.Trigger.Cron("* * * * * *"))
    runner = asyncio.ensure_future(s.start())
    await asyncio.sleep(1.5)
    await s.shutdown()
    await runner
    assert len(runs) >= 5, runs
asyncio.run(main())
"""


def strace_works():
    if shutil.which("strace") is None:
        return False
    probe = subprocess.run(["strace", "-qq", "-e", "trace=none", "true"], capture_output=True)
    return probe.returncode == 0  # ptrace may be forbidden in a container


@pytest.mark.skipif(not strace_works(), reason="needs strace and permission to trace")
def test_timer_waits_are_on_the_monotonic_clock(tmp_path):
    trace = tmp_path / "futex.log"
    result = subprocess.run(
        ["strace", "-f", "-qq", "-e", "trace=futex", "-o", str(trace),
         sys.executable, "-c", LOOP_PROLOGUES[LOOP] + JOBS],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    waits = [match for match in map(TIMED_WAIT.search, trace.read_text().splitlines()) if match]
    on_the_wall_clock = [match.string for match in waits if match["realtime"]]
    assert not on_the_wall_clock, (f"{len(on_the_wall_clock)} of {len(waits)} timed waits follow the wall clock, "
                                   "e.g.\n" + "\n".join(on_the_wall_clock[:3]))
