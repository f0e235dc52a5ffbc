"""The claim of the run in progress, for the handler to read: current_claim()."""

from contextvars import ContextVar
from dataclasses import dataclass, field
from datetime import datetime

from ._lease import Lease


@dataclass(frozen=True)
class Claim:
    """The claim a run of a once() handler holds.

    `fence` is the claim's fencing token: larger than that of every earlier claim of `key`, in
    any replica. Pass it with each write the run makes to another system, and let that system
    refuse a write whose token is smaller than the largest it has seen: a run that lost its claim
    (a long pause, a store out of reach) can then no longer overwrite the work of its successor.
    `fire_time` is the cron occurrence the run belongs to, None for other triggers."""

    key: str
    fire_time: datetime | None
    fence: int
    _lease: Lease = field(repr=False, compare=False)

    def held(self) -> bool:
        """Whether the claim is known to stand now: False once it was lost or could not be
        renewed in time (then another replica may be running the same key)."""
        return self._lease.held()


CURRENT: ContextVar[Claim | None] = ContextVar("tyvo_replicas.current_claim", default=None)


def current_claim() -> Claim | None:
    """The claim of the once() run this code is part of (tasks it creates included), or None."""
    return CURRENT.get()
