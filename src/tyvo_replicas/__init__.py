"""Run a tyvo job once across several processes, through a claim in Redis or PostgreSQL.

    claims = tyvo_replicas.RedisClaims("redis://127.0.0.1:6379/0")
    daily = tyvo.Trigger.Cron("0 0 9 * * *")
    report_once = tyvo_replicas.once(send_report, claims, key="daily-report",
                                     hold=timedelta(minutes=1), trigger=daily)
    await scheduler.schedule(report_once, daily, id="daily-report")

Every call of `report_once`, in any process, first claims "daily-report". Only the winner runs
`send_report`; the others return None at once. With a cron trigger each occurrence runs at most
once across all processes; otherwise at most one run starts per `hold`. Runs of one key never
overlap: the claim is renewed, from a thread of the store's own, while the run lasts. Expiry is
decided on the store's clock. When the store cannot be reached the call raises and the handler
is not called: a run may be missed, never doubled. A fire time a replica lets pass is logged
(rate-limited) unless another replica has it, and reported to tyvo_observe with its reason.
Inside a run, `current_claim()` gives the run's claim with its fencing token.

A store is anything that implements the `Claims` protocol; `RedisClaims` (extra "redis") and
`PostgresClaims` (extra "postgres") are provided. Diagnostics go to the logger "tyvo.replicas".
"""

from ._claims import Claims
from ._current import Claim, current_claim
from ._once import once
from ._postgres import PostgresClaims
from ._redis import RedisClaims
from ._store import Decision

__all__ = ["Claim", "Claims", "Decision", "PostgresClaims", "RedisClaims", "current_claim", "once"]
