"""A sub-interpreter elsewhere in the process must not disturb tyvo in the main interpreter.

Once any sub-interpreter has existed, CPython answers "yes" to every thread that asks whether it
holds the interpreter lock; a worker that believed it would call into Python without a thread
state. Each case runs in a fresh process, since the damage is process-wide and permanent."""

import sys

import pytest

from conftest import run_python


def interpreters_module():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            __import__(name)
            return name
        except ImportError:
            continue
    pytest.skip("this Python has no sub-interpreter module")


CONFIGS = ["default"] + (["legacy", "isolated"] if sys.version_info >= (3, 13) else [])

RUN_ONE_JOB = """
import asyncio, tyvo
from datetime import timedelta
async def main():
    s = tyvo.Scheduler()
    runs = []
    async def tick(): runs.append(1)
    await s.schedule(tick, tyvo.Trigger.Interval(timedelta(milliseconds=20)))
    runner = asyncio.ensure_future(s.start())
    for _ in range(500):
        if len(runs) >= 3: break
        await asyncio.sleep(0.01)
    await s.shutdown()
    await asyncio.wait_for(runner, 15)
    assert len(runs) >= 3, runs
    print("ran", len(runs) >= 3)
asyncio.run(main())
"""


@pytest.mark.parametrize("config", CONFIGS)
@pytest.mark.parametrize("inside", ["nothing", "import tyvo"])
def test_jobs_run_after_a_sub_interpreter_came_and_went(config, inside):
    module = interpreters_module()
    create = "interpreters.create()" if config == "default" else f"interpreters.create({config!r})"
    # The import inside is refused with ImportError; the refusal must not harm the main one either.
    body = "pass" if inside == "nothing" else (
        "try:\\n    import tyvo\\nexcept ImportError:\\n    pass\\nelse:\\n    raise SystemExit('imported')")
    result = run_python(f"""
import {module} as interpreters
{'import tyvo' if inside != 'nothing' else ''}
interp = {create}
interpreters.run_string(interp, "{body}")
interpreters.destroy(interp)
""" + RUN_ONE_JOB, timeout=60)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-2000:]}"
    assert "ran True" in result.stdout



@pytest.mark.skipif(sys.version_info < (3, 13), reason="legacy sub-interpreters by name came in 3.13")
@pytest.mark.parametrize("module", ["tyvo", "tyvo_cron", "tyvo_observe"])
def test_a_first_import_in_a_legacy_sub_interpreter_gives_the_true_reason(module):
    # The import system runs the module's initialisation in the main interpreter on the
    # sub-interpreter's behalf: it must be refused as the sub-interpreter's import, and leave
    # the main interpreter as it was (tyvo unloaded there until it imports tyvo itself).
    interpreters = interpreters_module()
    result = run_python(f"""
import sys, threading
import {interpreters} as interpreters
interp = interpreters.create("legacy")
interpreters.run_string(interp, '''
try:
    import {module}
except ImportError as error:
    print("refused:", error)
else:
    print("loaded in the sub-interpreter")
''')
interpreters.destroy(interp)
assert not [name for name in sys.modules if name.startswith("tyvo") or name == "_tyvo_observe"], sorted(sys.modules)
assert threading.active_count() == 1
""" + RUN_ONE_JOB, timeout=60)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-2000:]}"
    assert "loaded in the sub-interpreter" not in result.stdout
    assert "can only be imported in the main interpreter" in result.stdout + result.stderr, result.stdout + result.stderr
    assert "already loaded in another interpreter" not in result.stdout + result.stderr
    assert "ran True" in result.stdout
