"""The native log sink as Python sees it. Each scenario runs in a fresh process: the sink's
cache of loggers and levels lives as long as the process."""

import ctypes

import pytest

import tyvo

# The records are written through the test hooks, which only test builds carry (TYVO_TEST_HOOKS=ON);
# a release wheel under test has none.
pytestmark = pytest.mark.skipif(not hasattr(ctypes.CDLL(tyvo.__file__), "PyInit__tyvo_testing"),
                                reason="a release build: no test hooks")

PRELUDE = """
import importlib.util, logging, tyvo
found = importlib.util.spec_from_file_location("_tyvo_testing", tyvo.__file__)
hooks = importlib.util.module_from_spec(found)
found.loader.exec_module(hooks)
ERROR, WARN, INFO, DEBUG, TRACE = 1, 2, 3, 4, 5

class Collect(logging.Handler):
    def __init__(self):
        super().__init__(level=0)
        self.records = []
    def emit(self, record):
        self.records.append(record)

collected = Collect()
logger = logging.getLogger("tyvo")
logger.addHandler(collected)
logger.propagate = False
def seen():
    out = [(r.name, r.levelno, r.getMessage()) for r in collected.records]
    collected.records.clear()
    return out
"""


def test_records_arrive_with_python_levels_and_verbatim_text(python):
    python(PRELUDE + """
logger.setLevel(logging.DEBUG)
for level in (ERROR, WARN, INFO, DEBUG, TRACE):
    hooks.log(level, "tyvo", f"level {level} 100%s %d")
records = list(collected.records)
assert [(r.name, r.levelno, r.msg) for r in records] == [
    ("tyvo", 40, "level 1 100%s %d"), ("tyvo", 30, "level 2 100%s %d"),
    ("tyvo", 20, "level 3 100%s %d"), ("tyvo", 10, "level 4 100%s %d")], records
assert all(r.args is None and r.exc_info is None for r in records)
assert records[0].pathname.endswith(".cpp") and records[0].lineno > 0
""")


def test_target_path_segments_become_dotted_logger_names(python):
    python(PRELUDE + """
child = logging.getLogger("tyvo.engine.part")
child.addHandler(collected)
child.propagate = False
child.setLevel(logging.DEBUG)
hooks.log(WARN, "tyvo::engine::part", "hello")
assert seen() == [("tyvo.engine.part", 30, "hello")]
""")


def test_levels_are_cached_at_the_first_record(python):
    python(PRELUDE + """
logger.setLevel(logging.ERROR)
hooks.log(WARN, "tyvo", "dropped by python")
hooks.log(ERROR, "tyvo", "kept")
assert seen() == [("tyvo", 40, "kept")]
# More verbose later: not seen, the cache remembers ERROR.
logger.setLevel(logging.DEBUG)
hooks.log(WARN, "tyvo", "still dropped")
assert seen() == []
# Less verbose later: seen, Python is asked for every record that passes the cache.
logger.setLevel(logging.CRITICAL)
hooks.log(ERROR, "tyvo", "now dropped")
assert seen() == []
""")


def test_failing_handler_is_swallowed_and_pending_exception_kept(python):
    python(PRELUDE + """
class Broken(logging.Handler):
    def emit(self, record):
        raise RuntimeError("handler broke")
logger.setLevel(logging.DEBUG)
logger.handlers[:] = [Broken()]
logging.raiseExceptions = True
hooks.log(ERROR, "tyvo", "first")       # must not raise into the caller
hooks.log(ERROR, "tyvo", "second")
logger.handlers[:] = [collected]
hooks.log(WARN, "tyvo", "after")
assert seen() == [("tyvo", 30, "after")]
""")


def test_records_from_many_threads_all_arrive(python):
    python(PRELUDE + """
import threading
logger.setLevel(logging.DEBUG)
def spam(n):
    for i in range(200):
        hooks.log(WARN, "tyvo", f"{n}-{i}")
threads = [threading.Thread(target=spam, args=(n,)) for n in range(4)]
for t in threads: t.start()
for t in threads: t.join()
assert len(seen()) == 800
""")
