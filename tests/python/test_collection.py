"""A Scheduler is collected like any Python object: a cycle through it goes once nothing else
refers to it, while whatever a running job uses stays alive and intact."""

from scenario import scenario


def test_a_service_that_owns_its_scheduler_is_collected(python):
    python(scenario("""
        import gc, weakref

        class App:
            def __init__(self):
                self.scheduler = tyvo.Scheduler()
                self.runs = 0
            async def tick(self, *args, **kwargs):
                self.runs += 1

        async def collected(ref):
            for _ in range(100):  # references a finished job task dropped may be released late
                gc.collect()
                if ref() is None:
                    return True
                await asyncio.sleep(0.05)
            return False

        # Never started: App -> Scheduler -> bound method -> App.
        app = App()
        await app.scheduler.schedule(app.tick, Interval(timedelta(hours=1)), args=(app,), kwargs={"a": app})
        ref = weakref.ref(app)
        del app
        assert await collected(ref), "a scheduler that never started keeps its owner alive"

        # Started, then shut down.
        app = App()
        await app.scheduler.schedule(app.tick, Interval(timedelta(milliseconds=10)))
        runner = asyncio.ensure_future(app.scheduler.start())
        await wait_for(lambda: app.runs >= 2)
        await app.scheduler.shutdown()
        await asyncio.wait_for(runner, 15)
        ref = weakref.ref(app)
        del app, runner
        assert await collected(ref), "a scheduler that was shut down keeps its owner alive"

        # Started and running: its job task holds the handler, as an asyncio task would, so the
        # cycle stays alive through collections and the running job finds its object whole.
        app = App()
        await app.scheduler.schedule(app.tick, Interval(timedelta(milliseconds=10)))
        asyncio.ensure_future(app.scheduler.start())
        await wait_for(lambda: app.runs >= 1)
        ref = weakref.ref(app)
        del app
        for _ in range(5):
            gc.collect()
            await asyncio.sleep(0.05)
        alive = ref()
        assert alive is not None, "a running job's handler was collected"
        runs = alive.runs
        await wait_for(lambda: alive.runs > runs + 2)
        assert isinstance(alive.scheduler, tyvo.Scheduler)
        assert not [record for record in logs() if record[0] >= 40], logs()
        await alive.scheduler.shutdown()
    """))


def test_the_collector_sees_what_a_scheduler_holds(python):
    python(scenario("""
        import gc
        s = tyvo.Scheduler()
        assert gc.is_tracked(s)
        async def work(): pass
        args, kwargs = (object(),), {"k": object()}
        await s.schedule(work, Interval(timedelta(hours=1)), args=args, kwargs=kwargs)
        referents = gc.get_referents(s)
        assert type(s) in referents
        for owned in (work, args, kwargs):
            assert any(r is owned for r in referents), owned
    """))


def test_nothing_of_a_finished_scheduler_stays_pinned(python):
    # After a clean shutdown, with no further call into tyvo, the loop, start()'s future and the
    # captured context (with the values in it) go soon.
    python("""
import asyncio, contextvars, gc, time, weakref
from datetime import timedelta
import tyvo

class Value: pass
var = contextvars.ContextVar("var")
refs = {}

async def main():
    var.set(Value())
    refs["context value"] = weakref.ref(var.get())
    refs["loop"] = weakref.ref(asyncio.get_running_loop())
    ran = asyncio.Event()
    async def work():
        ran.set()
    s = tyvo.Scheduler()
    await s.schedule(work, tyvo.Trigger.Interval(timedelta(milliseconds=10)))
    runner = s.start()
    refs["start() future"] = weakref.ref(runner)
    await asyncio.wait_for(ran.wait(), 10)
    await s.shutdown()
    await asyncio.wait_for(runner, 15)

asyncio.run(main())
deadline = time.monotonic() + 10
while any(ref() is not None for ref in refs.values()) and time.monotonic() < deadline:
    gc.collect()
    time.sleep(0.05)
alive = [name for name, ref in refs.items() if ref() is not None]
assert not alive, f"still alive: {alive}"
""")
