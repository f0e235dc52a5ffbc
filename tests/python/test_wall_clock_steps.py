"""Cron jobs keep to the wall clock when it is stepped: they run at times of their pattern and
never twice for one occurrence. The wall clock of the scenario's process alone is moved, by a
small preloaded library of the test's own (wall_clock_shim.c), while its monotonic clock and the
kernel's timers are left alone, as NTP's first sync or an operator's `date -s` would move it.
(A general time-faking library also moves absolute monotonic timer alarms by the fake offset, and
would measure itself instead of tyvo.)"""

import json
import os
import pathlib
import shutil
import subprocess

import pytest

from conftest import run_python

SHIM_SOURCE = pathlib.Path(__file__).with_name("wall_clock_shim.c")

pytestmark = pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler for the wall-clock shim")


@pytest.fixture
def wall_clock_shim(tmp_path):
    library = tmp_path / "wall_clock_shim.so"
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", str(library), str(SHIM_SOURCE), "-ldl"], check=True)
    return library

# Every five seconds. The program places the wall clock half a second after an occurrence P,
# starts the job (its first run comes at once), then:
# - while the job waits for P+5, steps the clock forward 2 s (P+1.0 -> P+3.0): the run must still
#   come at P+5, not 4.5 s after the start by the monotonic clock (P+7);
# - inside the run at P+5, steps the clock back 3 s (to about P+2): P+5 must not run again, the
#   next run is P+10, and waiting for it the clock reads P+2 .. P+10 without an early run.
PROGRAM = """
import asyncio, json, math, os, struct, sys, time, tyvo

offset_fd = os.open(sys.argv[1], os.O_WRONLY)
offset = 0
def step(seconds):
    global offset
    offset += round(seconds * 1e9)
    os.pwrite(offset_fd, struct.pack("q", offset), 0)

runs = []
async def job():
    runs.append(time.time())
    if len(runs) == 2:
        step(-3.0)

async def main():
    now = time.time()
    start = math.ceil(now / 5) * 5 + 5
    step(start + 0.5 - now)                    # the wall clock now reads P+0.5
    s = tyvo.Scheduler()
    await s.schedule(job, tyvo.Trigger.Cron("*/5 * * * * *"))
    started = asyncio.ensure_future(s.start())
    await asyncio.sleep(0.5)
    step(2.0)                                  # P+1.0 -> P+3.0 while the job waits for P+5
    for _ in range(200):                       # the run at P+5, then about 8 s to P+10
        await asyncio.sleep(0.1)
        if len(runs) >= 3:
            break
    await asyncio.sleep(0.3)                   # room for a run that should not come
    await s.shutdown()
    await started
    print(json.dumps({"start": start, "runs": runs}))

asyncio.run(main())
"""


def test_cron_runs_follow_a_stepped_wall_clock_and_never_repeat_an_occurrence(tmp_path, wall_clock_shim):
    offset_file = tmp_path / "offset"
    offset_file.write_bytes(bytes(8))
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(wall_clock_shim)]))
    env = {"LD_PRELOAD": preload, "TYVO_TEST_WALL_OFFSET_FILE": str(offset_file)}
    result = run_python(PROGRAM.replace("sys.argv[1]", repr(str(offset_file))), timeout=60, env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    outcome = json.loads(result.stdout.strip().splitlines()[-1])
    start, runs = outcome["start"], outcome["runs"]
    # The first run comes at once, at P+0.5; then exactly P+5 and P+10, each within a generous
    # margin after its second (a run at P+7 is the monotonic clock's; a second P+5 a repeat).
    assert len(runs) == 3, f"expected runs at P+0.5, P+5, P+10; got {[round(r - start, 3) for r in runs]}"
    for due, ran in zip((start + 5, start + 10), runs[1:]):
        assert due <= ran < due + 0.25, f"due at P+{due - start:.0f}, ran at P+{ran - start:.3f}"
