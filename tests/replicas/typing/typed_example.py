"""How an application types its use of tyvo_replicas; checked by mypy, not run."""

from datetime import datetime, timedelta

import tyvo
import tyvo_replicas


async def send_report(to: str, *, copies: int = 1) -> int:
    return copies


class OwnClaims:
    """A store of one's own satisfies the protocol by its methods alone."""

    async def claim(self, key: str, token: str, hold: timedelta, fire_time: datetime | None = None) -> int | None:
        return 1

    async def renew(self, key: str, token: str, hold: timedelta) -> bool:
        return True

    async def release(self, key: str, token: str, hold: timedelta) -> None:
        return None


async def main() -> None:
    redis = tyvo_replicas.RedisClaims("redis://127.0.0.1:6379/0", prefix="app:", pool_size=4)
    postgres = tyvo_replicas.PostgresClaims("postgresql://app@127.0.0.1/app", table="jobs.claims", pool_size=2)
    claims: tyvo_replicas.Claims = redis
    report_once = tyvo_replicas.once(send_report, claims, key="daily-report", hold=timedelta(minutes=5))
    sent: int | None = await report_once("team", copies=2)
    scheduler = tyvo.Scheduler()
    await scheduler.schedule(report_once, tyvo.Trigger.Cron("0 0 9 * * *"), args=("team",), id="daily-report")
    daily = tyvo.Trigger.Cron("0 0 9 * * *")
    per_fire_time = tyvo_replicas.once(send_report, claims, key="daily", hold=timedelta(minutes=1), trigger=daily,
                                       catch_up=timedelta(hours=1), max_run=timedelta(minutes=30))
    await scheduler.schedule(per_fire_time, daily, args=("team",), id="daily")
    claim: tyvo_replicas.Claim | None = tyvo_replicas.current_claim()
    if claim is not None:
        fence: int = claim.fence
        fired: datetime | None = claim.fire_time
        still: bool = claim.held()
        print(claim.key, fence, fired, still)
    own = tyvo_replicas.once(send_report, OwnClaims(), key="k", hold=timedelta(seconds=1))
    print(sent, await own("x"))
    async with postgres as entered:
        same: tyvo_replicas.PostgresClaims = entered
        print(same)
    await redis.aclose()
