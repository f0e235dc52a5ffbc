"""The aarch64 wheel, installed and run under emulation (scripts/arm64-smoke.sh): every module
imports from the environment, and jobs of both kinds run, pause, resume and stop. Margins are
wide: an emulated interpreter is many times slower than a native one."""

import asyncio
import importlib
import importlib.metadata
import platform
import sys
import time
from datetime import timedelta

import tyvo

MODULES = {"tyvo", "tyvo_cron", "tyvo_observe", "tyvo_replicas"}


def test_every_module_imports_from_the_installed_wheel_on_aarch64():
    assert platform.machine() == "aarch64"
    installed = {file.parts[0].split(".")[0] for file in importlib.metadata.files("tyvo")
                 if file.suffix in (".py", ".so") and not file.parts[0].endswith((".dist-info", ".data"))}
    assert installed == MODULES
    for name in sorted(installed):
        module = importlib.import_module(name)
        assert module.__file__.startswith(sys.prefix), f"{name} comes from {module.__file__}"
    assert [name for name in dir(tyvo) if not name.startswith("_")] == ["Scheduler", "Trigger"]


async def until(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        await asyncio.sleep(0.05)


def test_interval_and_cron_jobs_run_pause_resume_and_stop():
    runs = {"interval": 0, "cron": 0}

    async def interval():
        runs["interval"] += 1

    async def cron():
        runs["cron"] += 1

    async def scenario():
        s = tyvo.Scheduler()
        await s.schedule(interval, tyvo.Trigger.Interval(timedelta(milliseconds=100)), id="interval")
        await s.schedule(cron, tyvo.Trigger.Cron("* * * * * *"), id="cron")
        runner = asyncio.ensure_future(s.start())
        await until(lambda: runs["interval"] >= 3 and runs["cron"] >= 2)

        s.pause("interval")
        s.pause("cron")
        await asyncio.sleep(0.5)   # a run that had already begun may still end
        paused = dict(runs)
        await asyncio.sleep(2.5)
        assert runs == paused, "a paused job ran"

        s.resume("interval")
        s.resume("cron")
        await until(lambda: runs["interval"] >= paused["interval"] + 3 and runs["cron"] >= paused["cron"] + 2)

        await s.shutdown()
        await asyncio.wait_for(runner, 30)
        stopped = dict(runs)
        await asyncio.sleep(1.5)
        assert runs == stopped, "a job ran after shutdown"

    asyncio.run(scenario())
