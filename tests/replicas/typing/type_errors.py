"""Misuse that mypy must reject; each line marked `# expect: <code>` must be reported, no other."""

from datetime import timedelta

import tyvo_replicas


async def handler(to: str) -> int:
    return 1


def not_async(to: str) -> int:
    return 1


class MissingRelease:
    async def claim(self, key: str, token: str, hold: timedelta) -> bool:
        return True

    async def renew(self, key: str, token: str, hold: timedelta) -> bool:
        return True


async def main() -> None:
    claims = tyvo_replicas.RedisClaims("redis://127.0.0.1")
    hold = timedelta(seconds=1)
    tyvo_replicas.once(not_async, claims, key="k", hold=hold)  # expect: arg-type
    tyvo_replicas.once(handler, claims, key="k", hold=5)  # expect: arg-type
    tyvo_replicas.once(handler, claims, "k", hold)  # expect: call-arg
    tyvo_replicas.once(handler, MissingRelease(), key="k", hold=hold)  # expect: arg-type
    guarded = tyvo_replicas.once(handler, claims, key="k", hold=hold)
    await guarded(5)  # expect: arg-type
    result: int = await guarded("team")  # expect: assignment
    tyvo_replicas.RedisClaims("redis://127.0.0.1", prefix=None)  # expect: arg-type
    tyvo_replicas.PostgresClaims("postgresql://", schema="x")  # expect: call-arg
    tyvo_replicas.PostgresClaims("postgresql://", pool_size="2")  # expect: arg-type
    tyvo_replicas.once(handler, claims, key="k", hold=hold, trigger="* * * * *")  # expect: arg-type
    tyvo_replicas.once(handler, claims, key="k", hold=hold, catch_up=60)  # expect: arg-type
    print(tyvo_replicas.current_claim().fence)  # expect: union-attr
    print(result)
