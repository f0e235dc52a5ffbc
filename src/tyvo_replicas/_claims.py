"""The protocol a claim store implements, and the checks of the values passed to it."""

from datetime import datetime, timedelta
from typing import Protocol, runtime_checkable

MILLISECOND = timedelta(milliseconds=1)
LONGEST_HOLD = timedelta(days=366)
LONGEST_KEY = 512


@runtime_checkable
class Claims(Protocol):
    """A store of claims: at most one unexpired claim per key, each under a caller's token.

    Every expiry is decided on the store's own clock, never on the caller's, and each method
    checks and changes a claim in one atomic step. `hold` is a whole number of milliseconds.
    Failures raise; `once()` then treats the store as unreachable."""

    async def claim(self, key: str, token: str, hold: timedelta,
                    fire_time: datetime | None = None) -> int | None:
        """Takes `key` under `token` for `hold` from now if it has no unexpired claim and, when
        `fire_time` is given, no claim was ever taken for that fire time or a later one; records
        when (on the store's clock) and the fire time. Returns the claim's fencing token, a
        number larger than that of every earlier claim of `key`, or None if not taken."""
        ...

    async def renew(self, key: str, token: str, hold: timedelta) -> bool:
        """If `key` is still claimed under `token` and the claim has not lapsed, makes it last
        `hold` from now. Returns False if the claim is gone or belongs to another token."""
        ...

    async def release(self, key: str, token: str, hold: timedelta) -> None:
        """If `key` is still claimed under `token`, makes the claim lapse `hold` after it was
        taken: at once if that moment has passed (`hold` may be zero). A claim under another
        token is left alone."""
        ...


def check_key(key: object) -> str:
    if not isinstance(key, str):
        raise TypeError(f"key must be a str, not {type(key).__name__}")
    if not key or len(key) > LONGEST_KEY or "\x00" in key:
        raise ValueError(f"key must be 1 to {LONGEST_KEY} characters without NUL, got {key!r}")
    try:
        key.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"key must be valid Unicode text (no lone surrogates), got {key!r}") from None
    return key


def check_hold(hold: object, name: str = "hold") -> timedelta:
    """Returns `hold` rounded up to whole milliseconds, the resolution of every store."""
    if not isinstance(hold, timedelta):
        raise TypeError(f"{name} must be a datetime.timedelta, not {type(hold).__name__}")
    if hold <= timedelta(0) or hold > LONGEST_HOLD:
        raise ValueError(f"{name} must be positive and at most {LONGEST_HOLD.days} days, got {hold!r}")
    return -(-hold // MILLISECOND) * MILLISECOND


def check_pool_size(size: object) -> int:
    if not isinstance(size, int) or isinstance(size, bool):
        raise TypeError(f"pool_size must be an int, not {type(size).__name__}")
    if not 1 <= size <= 1000:
        raise ValueError(f"pool_size must be 1 to 1000, got {size}")
    return size


def hold_ms(hold: timedelta) -> int:
    return hold // MILLISECOND
