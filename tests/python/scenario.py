"""Runs an asyncio scenario against tyvo in a fresh interpreter.

Process-wide state (the job id counter, the logging cache, the worker threads) makes a fresh
process the honest setting for most scheduler behaviour. The scenario's code sees:
  tyvo, asyncio, time, datetime (the module), timedelta, Cron, Interval,
  logs()  -> list of (levelno, message) recorded on the "tyvo" logger so far,
  wait_for(predicate, timeout) -> polls until true, fails after timeout.
"""

import textwrap

PRELUDE = '''
import asyncio, datetime, logging, sys, time
from datetime import timedelta
import tyvo
Cron, Interval = tyvo.Trigger.Cron, tyvo.Trigger.Interval

class _Collect(logging.Handler):
    def __init__(self):
        super().__init__(level=0)
        self.records = []
    def emit(self, record):
        self.records.append((record.levelno, record.getMessage()))

_collected = _Collect()
_logger = logging.getLogger("tyvo")
_logger.setLevel(logging.DEBUG)
_logger.addHandler(_collected)
_logger.propagate = False

def logs():
    return list(_collected.records)

async def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not met in time; logs: %r" % (logs(),))
        await asyncio.sleep(0.02)
'''


def scenario(body):
    """`body` is the text of `async def main()`'s body; the program runs it with asyncio.run."""
    return PRELUDE + "\nasync def main():\n" + textwrap.indent(textwrap.dedent(body), "    ") + "\n\nasyncio.run(main())\n"
