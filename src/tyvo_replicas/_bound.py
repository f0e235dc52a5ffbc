"""A connection pool opened lazily on the running event loop and used on that loop only.

Pools hold sockets registered with one loop; used from another they fail in obscure ways or
hang. So a pool belongs to the loop that opened it. Once that loop has closed (a program that
runs asyncio.run twice), the next use opens a new pool; the old one's sockets close when it is
collected, as its loop can no longer close them. While the first loop is still open, use from
another loop is refused."""

import asyncio
from collections.abc import Awaitable, Callable
from typing import Generic, TypeVar

T = TypeVar("T")


class LoopBound(Generic[T]):
    def __init__(self, owner: str, open: Callable[[], Awaitable[T]],
                 close: Callable[[T], Awaitable[None]]) -> None:
        self._owner, self._open, self._close = owner, open, close
        self._loop: asyncio.AbstractEventLoop | None = None
        self._opening: asyncio.Task[T] | None = None

    async def get(self) -> T:
        loop = asyncio.get_running_loop()
        if self._loop is not loop:
            self._check_other_loop_gone()
            self._loop, self._opening = loop, None
        opening = self._opening
        if opening is not None and opening.done() and not opening.cancelled() and opening.exception() is None:
            return opening.result()
        if opening is None or (opening.done() and (opening.cancelled() or opening.exception() is not None)):
            # First use, or the last attempt failed: try again. Shielded below, so a caller that
            # gives up does not cancel an opening that others may be waiting for.
            opening = self._opening = loop.create_task(_run(self._open))
            opening.add_done_callback(_retrieve)
        return await asyncio.shield(opening)

    def check_closable(self) -> None:
        """Raises RuntimeError if aclose() would refuse: open on another loop that still runs."""
        loop = self._loop
        if (loop is not None and self._opening is not None and not loop.is_closed()
                and loop is not asyncio.get_running_loop()):
            raise RuntimeError(f"{self._owner}.aclose() must be called on the event loop that opened it")

    async def aclose(self) -> None:
        loop, opening = self._loop, self._opening
        if loop is None or opening is None:
            return
        if loop.is_closed():
            self._loop = self._opening = None
            return
        if loop is not asyncio.get_running_loop():
            raise RuntimeError(f"{self._owner}.aclose() must be called on the event loop that opened it")
        self._loop = self._opening = None
        if not opening.done():
            opening.cancel()
        await asyncio.wait([opening])
        if not opening.cancelled() and opening.exception() is None:
            await self._close(opening.result())

    def _check_other_loop_gone(self) -> None:
        if self._loop is not None and self._opening is not None and not self._loop.is_closed():
            raise RuntimeError(
                f"this {self._owner} is open on another event loop that has not been closed; "
                f"call aclose() on that loop first, or use one {self._owner} per event loop")


async def _run(open: Callable[[], Awaitable[T]]) -> T:
    return await open()


def _retrieve(task: "asyncio.Task[T]") -> None:
    # Callers see a failed opening's exception; this keeps asyncio from also reporting it
    # as never retrieved when no caller is left to look.
    if not task.cancelled():
        task.exception()
