"""A claims object across fork(): a child forked from inside a running run (raw os.fork(), and
multiprocessing with fork) uses the store with connections and a renewal thread of its own, and
neither its use nor its exit touches the parent's connections, renewals or claim."""

import asyncio
import multiprocessing
import os
from datetime import timedelta

import pytest

import tyvo_replicas
from conftest import claims_for

HOLD = timedelta(milliseconds=600)


def child_work(claims, key):
    """In the child: a run of its own on the inherited claims object, with a renewal."""
    asyncio.events._set_running_loop(None)  # forked from inside the parent's running loop

    async def run():
        async def handler():
            await asyncio.sleep(HOLD.total_seconds() * 1.5)  # renewed at least once
            return tyvo_replicas.current_claim().held()

        held = await tyvo_replicas.once(handler, claims, key=key, hold=HOLD)()
        await claims.aclose()
        return held

    return asyncio.run(run())


def child_main(claims, key):
    os._exit(0 if child_work(claims, key) is True else 1)


@pytest.mark.parametrize("how", ["os.fork", "multiprocessing"])
def test_a_child_uses_the_store_on_its_own_and_the_parent_carries_on(server, key, how):
    async def scenario():
        async with claims_for(server) as claims, claims_for(server) as other_replica:
            async def handler():
                await asyncio.sleep(HOLD.total_seconds() / 2)  # the keeper thread is running
                if how == "os.fork":
                    pid = os.fork()
                    if pid == 0:
                        try:
                            child_main(claims, key + "-child")
                        finally:
                            os._exit(2)
                    exit_code = (await asyncio.to_thread(os.waitpid, pid, 0))[1]
                else:
                    process = multiprocessing.get_context("fork").Process(target=child_main, args=(claims, key + "-child"))
                    process.start()
                    await asyncio.to_thread(process.join)
                    exit_code = process.exitcode
                # The child has used the store and exited: this run's claim still stands and
                # keeps the others out for several more holds.
                for _ in range(6):
                    await asyncio.sleep(HOLD.total_seconds() / 2)
                    assert await other_replica.claim(key, "other", HOLD) is None
                return exit_code, tyvo_replicas.current_claim().held()

            exit_code, held = await tyvo_replicas.once(handler, claims, key=key, hold=HOLD)()
            assert exit_code == 0 and held
            # The parent's store still works for new runs.
            assert await tyvo_replicas.once(asyncio.sleep, claims, key=key + "-after", hold=HOLD)(0) is None
            assert await other_replica.claim(key + "-after", "other", HOLD) is None

    asyncio.run(scenario())
