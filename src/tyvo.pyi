"""A job scheduler for asyncio programs: handlers run on the caller's event loop at the fire
times of a cron pattern (UTC) or a fixed interval, while the waiting happens on native threads."""

import asyncio
import datetime
from collections.abc import Callable, Coroutine
from typing import Any, Never, final

__version__: str

class Trigger:
    """When a job fires: `Trigger.Cron(expr)` or `Trigger.Interval(duration)`."""

    # Only the two variants below can be built; Trigger itself (and any subclass of it
    # written in Python) refuses instantiation with TypeError. No argument fits the parameter, so
    # every call is reported; the return type is not Never, which would make type checkers take the
    # rest of the calling function for unreachable and report nothing more in it.
    def __new__(cls, cannot_be_instantiated: Never, /) -> Trigger: ...
    @final
    class Cron(Trigger):
        """A cron pattern of 5, 6 or 7 fields, read in UTC, or in the zone named by a
        `CRON_TZ=<zone>` or `TZ=<zone>` prefix. It is checked by `Scheduler.schedule`, not here. At run time the class is named "Trigger_Cron"."""

        __match_args__ = ("expr",)
        def __new__(cls, expr: str) -> Trigger.Cron: ...
        @property
        def expr(self) -> str: ...

    @final
    class Interval(Trigger):
        """A fixed, non-negative spacing between the end of one run and the start of the next.
        At run time the class is named "Trigger_Interval"."""

        __match_args__ = ("duration",)
        def __new__(cls, duration: datetime.timedelta) -> Trigger.Interval: ...
        @property
        def duration(self) -> datetime.timedelta: ...

@final
class Scheduler:
    """Runs `async def` handlers on the event loop that called `start()`.

    `schedule`, `start` and `shutdown` must be called with an asyncio event loop running in the
    calling thread; their work is under way when they return, awaited or not."""

    def __new__(cls) -> Scheduler: ...
    def schedule(
        self,
        handler: Callable[..., Coroutine[Any, Any, Any]],
        trigger: Trigger,
        args: tuple[Any, ...] | None = None,
        kwargs: dict[str, Any] | None = None,
        id: str | None = None,
    ) -> asyncio.Future[str]:
        """Registers a job; the future yields its id (given, or "job-" and a process-wide counter)."""

    def start(self) -> asyncio.Future[tuple[()]]:
        """Runs every job; the future completes with () only once the scheduler has shut down."""

    def shutdown(self) -> asyncio.Future[tuple[()]]:
        """Asks the running scheduler to stop; the future completes with () once the request is queued."""

    def pause(self, id: str) -> None:
        """Skips the job's runs from its next fire time on; raises Exception for an unknown id."""

    def resume(self, id: str) -> None:
        """Lets the job run again from its next fire time on; raises Exception for an unknown id."""
