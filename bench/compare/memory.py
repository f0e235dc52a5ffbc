"""Memory per job: N jobs on an hourly interval, registered, started and through their first runs.

Memory hardly depends on how busy the machine is, so these figures hold on a shared one too.
Measured in one fresh process, from before registering to a settled state: every first run done
and --settle seconds (default 3) passed, every job asleep until its next run an hour later:
  rss_per_job         resident memory growth per job (what the README quotes)
  malloc_per_job      growth of the C heap in use (glibc's mallinfo2: native objects, coroutine
                      frames, and Python objects too big for Python's own small-object allocator)
  pymalloc_blocks_per_job  growth of the blocks Python's allocator has handed out (objects)

    python memory.py CONTESTANT JOBS [--settle 3] [--loop asyncio|uvloop]
"""

import argparse
import asyncio
import ctypes
import gc
import sys

import contestants
from measure import add_loop_option, emit, loop_name, rss_bytes, run

HOUR = 3600.0


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def malloc_in_use():
    """Bytes the C heap has handed out and not taken back: small blocks plus mmapped ones."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def pymalloc_in_use():
    """Blocks Python's allocator has handed out and not taken back: roughly, live objects."""
    return sys.getallocatedblocks()


async def measure(name, jobs, settle_seconds):
    contestant = contestants.make(name, HOUR, **({"record_fire_times": False} if name == "apscheduler" else {}))
    first_runs = 0
    all_ran = asyncio.Event()

    async def work(index):
        nonlocal first_runs
        first_runs += 1
        if first_runs == jobs:
            all_ran.set()

    gc.collect()
    rss_before, malloc_before, blocks_before = rss_bytes(), malloc_in_use(), pymalloc_in_use()
    await contestant.add(jobs, work)
    await contestant.start()
    await asyncio.wait_for(all_ran.wait(), 300)
    # The last first runs' tasks finish on the loop's next turns; then the jobs are all asleep, and
    # whatever the burst of first runs left to tidy up has been.
    await asyncio.sleep(settle_seconds)
    gc.collect()
    rss_after, malloc_after, blocks_after = rss_bytes(), malloc_in_use(), pymalloc_in_use()
    await contestant.stop()
    return {
        "workload": "memory",
        "contestant": name,
        "loop": loop_name(),
        "jobs": jobs,
        "rss_per_job_bytes": round((rss_after - rss_before) / jobs, 1),
        "malloc_per_job_bytes": round((malloc_after - malloc_before) / jobs, 1),
        "pymalloc_blocks_per_job": round((blocks_after - blocks_before) / jobs, 2),
        "settle_s": settle_seconds,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("contestant", choices=contestants.CONTESTANTS)
    parser.add_argument("jobs", type=int)
    parser.add_argument("--settle", type=float, default=3.0)
    add_loop_option(parser)
    options = parser.parse_args()
    emit(run(measure(options.contestant, options.jobs, options.settle), options.loop))


if __name__ == "__main__":
    main()
