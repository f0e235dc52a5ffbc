"""Run a tyvo job once across several processes, through a claim in Redis or PostgreSQL.

    claims = tyvo_replicas.RedisClaims("redis://127.0.0.1:6379/0")
    report_once = tyvo_replicas.once(send_report, claims, key="daily-report", hold=timedelta(minutes=5))
    await scheduler.schedule(report_once, tyvo.Trigger.Cron("0 0 9 * * *"), id="daily-report")

Every call of `report_once`, in any process, first claims "daily-report" for `hold`. Only the
winner runs `send_report`; the others return None at once. The claim is renewed while the run
lasts and stays until `hold` has passed since the run started, so runs of one key never overlap
and at most one starts per `hold`. Expiry is decided on the store's clock. When the store cannot
be reached the call raises and the handler is not called: a run may be missed, never doubled.

A store is anything that implements the `Claims` protocol; `RedisClaims` (extra "redis") and
`PostgresClaims` (extra "postgres") are provided. Diagnostics go to the logger "tyvo.replicas".
"""

from ._claims import Claims
from ._once import once
from ._postgres import PostgresClaims
from ._redis import RedisClaims

__all__ = ["Claims", "PostgresClaims", "RedisClaims", "once"]
