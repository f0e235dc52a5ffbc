import os
import subprocess
import sys
import textwrap

import pytest


# TYVO_TEST_LOOP=uvloop runs every scenario's event loop on uvloop instead of asyncio's own.
LOOP_PROLOGUES = {
    "asyncio": "",
    "uvloop": (
        "import asyncio, uvloop, warnings\n"
        "with warnings.catch_warnings():\n"
        "    warnings.simplefilter('ignore', DeprecationWarning)\n"
        "    asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())\n"
    ),
}
LOOP = os.environ.get("TYVO_TEST_LOOP") or "asyncio"
if LOOP not in LOOP_PROLOGUES:
    raise pytest.UsageError(f"TYVO_TEST_LOOP={LOOP!r}: expected one of {sorted(LOOP_PROLOGUES)}")


# A shell that starts the test run in the background (`cmd &` without job control) hands it
# SIGINT ignored, and Python then installs no KeyboardInterrupt handler: the scenarios about
# Ctrl-C would test nothing. They get the handler an interactive start would give them.
SIGINT_PROLOGUE = (
    "import signal as _signal\n"
    "if _signal.getsignal(_signal.SIGINT) is _signal.SIG_IGN: _signal.signal(_signal.SIGINT, _signal.default_int_handler)\n"
)


# Under emulation (the aarch64 wheel run by qemu on a busy machine, scripts/arm64-smoke.sh) an
# interpreter is tens of times slower: every scenario's time limit is stretched by this factor.
TIMEOUT_SCALE = float(os.environ.get("TYVO_TEST_TIMEOUT_SCALE") or 1)


def run_python(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter: for scenarios that depend on process-wide state
    (the job id counter, the logging cache, the worker threads) or on how a process ends."""
    timeout *= TIMEOUT_SCALE
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", SIGINT_PROLOGUE + LOOP_PROLOGUES[LOOP] + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )


@pytest.fixture
def python():
    def run(code, timeout=60, env=None):
        result = run_python(code, timeout=timeout, env=env)
        assert result.returncode == 0, f"exit {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
        return result

    return run
