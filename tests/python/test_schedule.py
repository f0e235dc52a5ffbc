import pytest

from scenario import scenario

CRON_REFUSALS = [
    ("", "CronPattern cannot be an empty string."),
    ("   ", "CronPattern cannot be an empty string."),
    ("* * * *", "Invalid pattern: Pattern must have between 5 and 7 fields."),
    ("@midnight", "Invalid pattern: Pattern must have between 5 and 7 fields."),
    ("60 * * * * *", "Component error: Number out of bounds."),
    ("*/0 * * * *", "Component error: Step cannot be zero."),
    ("0 0 * * X", "Pattern contains illegal characters: CronPattern contains illegal character 'X' in part 'X'"),
    # A NUL is a character like any other: the message carries it and goes on past it.
    ("0 0 * * *\0",
     "Pattern contains illegal characters: CronPattern contains illegal character '\0' in part '*\0'"),
    ("TZ=Europe/Berlin\0x * * * * *", "Unknown time zone: Europe/Berlin\0x"),
]


def test_generated_ids_count_up_and_explicit_ids_use_a_number(python):
    python(scenario("""
        s = tyvo.Scheduler()
        async def work(): pass
        every = Interval(timedelta(seconds=1))
        assert await s.schedule(work, every, id="mine") == "mine"
        assert await s.schedule(work, every) == "job-2"
        try:
            s.schedule(lambda: None, every)
        except Exception:
            pass
        try:
            s.schedule(work, Cron(""))
        except Exception:
            pass
        assert await s.schedule(work, every) == "job-3", "a refused call must not use a number"
        other = tyvo.Scheduler()
        assert await other.schedule(work, every) == "job-4", "the counter is shared by schedulers"
        assert await s.schedule(work, every, id="") == ""
    """))


def test_pattern_is_checked_first_with_the_exact_parser_text(python):
    cases = ",\n".join(f"({text!r}, {message!r})" for text, message in CRON_REFUSALS)
    python(scenario(f"""
        s = tyvo.Scheduler()
        for text, message in [{cases}]:
            try:
                s.schedule(lambda: None, Cron(text))  # a bad handler too: the pattern is reported
            except Exception as error:
                assert type(error) is Exception, type(error)
                assert str(error) == message, (text, str(error))
            else:
                raise AssertionError(text)
        try:
            s.pause("job-1")
        except Exception as error:
            assert str(error) == "Job job-1 not found"  # nothing was registered
    """))


def test_only_coroutine_functions_are_handlers(python):
    python(scenario("""
        s = tyvo.Scheduler()
        every = Interval(timedelta(hours=1))
        async def work(): pass
        class Service:
            async def tick(self): pass
        def plain(): pass
        coroutine = work()
        for handler in [plain, lambda: None, Service, coroutine, 5, (work,), (), (work, work)]:
            try:
                s.schedule(handler, every)
            except Exception as error:
                assert type(error) is Exception and str(error) == "handler is not an async function"
            else:
                raise AssertionError(handler)
        coroutine.close()
        assert await s.schedule(Service().tick, every, id="bound") == "bound"
    """))


@pytest.mark.parametrize(
    "call, message",
    [
        ("s.schedule(work, 'x')", "argument 'trigger': 'str' object cannot be converted to 'Trigger'"),
        ("s.schedule(work, every, args=[1, 2])", "argument 'args': 'list' object cannot be converted to 'PyTuple'"),
        ("s.schedule(work, every, kwargs=[])", "argument 'kwargs': 'list' object cannot be converted to 'PyDict'"),
        ("s.schedule(work, every, id=5)", "argument 'id': 'int' object cannot be converted to 'PyString'"),
        ("s.pause(5)", "argument 'id': 'int' object cannot be converted to 'PyString'"),
        ("s.resume(None)", "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
        ("s.schedule(work)", "Scheduler.schedule() missing 1 required positional argument: 'trigger'"),
        ("s.schedule(work, every, (), {}, 'a', 'b')",
         "Scheduler.schedule() takes from 2 to 5 positional arguments but 6 were given"),
        ("s.schedule(work, every, name='x')", "Scheduler.schedule() got an unexpected keyword argument 'name'"),
        ("s.pause(**{'i\\0d': 1})", "Scheduler.pause() got an unexpected keyword argument 'i\0d'"),
        ("s.start(1)", "Scheduler.start() takes 0 positional arguments but 1 was given"),
        ("s.pause()", "Scheduler.pause() missing 1 required positional argument: 'id'"),
    ],
)
def test_argument_errors(python, call, message):
    python(scenario(f"""
        s = tyvo.Scheduler()
        async def work(): pass
        every = Interval(timedelta(seconds=1))
        try:
            {call}
        except TypeError as error:
            assert str(error) == {message!r}, str(error)
        else:
            raise AssertionError("no TypeError")
    """))


def test_without_a_running_loop_schedule_raises_but_records_the_job(python):
    python("""
import asyncio, tyvo
from datetime import timedelta
s = tyvo.Scheduler()
ran = []
async def work():
    ran.append(1)
try:
    s.schedule(work, tyvo.Trigger.Interval(timedelta(hours=1)), id="early")
except RuntimeError:
    pass
else:
    raise AssertionError("no RuntimeError")
try:
    s.start()
except RuntimeError:
    pass
else:
    raise AssertionError("no RuntimeError")
s.pause("early")  # registered
async def main():
    runner = asyncio.ensure_future(s.start())
    while not ran:
        await asyncio.sleep(0.01)
    await s.shutdown()
    assert await runner == ()
asyncio.run(main())
""")


def test_reentrant_calls_are_refused_not_deadlocked(python):
    python(scenario("""
        import inspect
        s = tyvo.Scheduler()
        async def work(): pass
        every = Interval(timedelta(hours=1))
        await s.schedule(work, every, id="a")
        seen = []
        original = inspect.iscoroutinefunction
        def meddling(handler):
            for call in (lambda: s.pause("a"), lambda: s.schedule(work, every), lambda: s.shutdown()):
                try:
                    call()
                except RuntimeError as error:
                    seen.append(str(error))
            return original(handler)
        inspect.iscoroutinefunction = meddling
        await s.schedule(work, every, id="b")
        inspect.iscoroutinefunction = original
        assert seen == ["Already mutably borrowed", "Already borrowed", "Already borrowed"], seen
        s.pause("b")  # the hold ended with the call
    """))
