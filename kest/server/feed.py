"""Live updates of worlds: the page's event streams wait here and wake when a commit changed
their world.

A commit happens on the writer's thread; `WorldFeed.changed` may be called from any thread and
hands the wake-up to the event loop. A stream reads the world after it registered for the next
change, so a commit between its read and its wait is never missed; commits that land while a
stream is still sending coalesce into its next read, which is what lets a slow browser fall behind
by whole states rather than by an ever longer queue.
"""

import asyncio
import time
from collections.abc import AsyncIterator, Callable

KEEP_ALIVE_SECONDS = 15.0

# read(since) -> (update text, the last record seq it carries), or None once the world is gone.
ReadUpdate = Callable[[int], tuple[str, int] | None]


class WorldFeed:
    def __init__(self, loop: asyncio.AbstractEventLoop):
        self._loop = loop
        self._next_change: dict[str, asyncio.Event] = {}

    def changed(self, world_id: str) -> None:
        """Wakes every stream of `world_id`; safe from any thread."""
        self._loop.call_soon_threadsafe(self._wake, world_id)

    def _wake(self, world_id: str) -> None:
        event = self._next_change.pop(world_id, None)
        if event is not None:
            event.set()

    def next_change(self, world_id: str) -> asyncio.Event:
        """An event set by the next change of `world_id` (event loop only)."""
        return self._next_change.setdefault(world_id, asyncio.Event())


def message(name: str, data: str) -> str:
    """One text/event-stream message; `data` is compact JSON, so it holds no line break."""
    return f"event: {name}\ndata: {data}\n\n"


async def world_events(
    feed: WorldFeed,
    world_id: str,
    read: ReadUpdate,
    since: int,
    until: float | None = None,
    keep_alive: float = KEEP_ALIVE_SECONDS,
) -> AsyncIterator[str]:
    """The stream of one world: an "update" now and after every change, "deleted" when the world
    is gone; "expired" at `until` (the token's expiry), where it ends: the page must sign in again."""
    while True:
        change = feed.next_change(world_id)
        update = await asyncio.to_thread(read, since)
        if update is None:
            yield message("deleted", "{}")
            return
        text, since = update
        yield message("update", text)
        while not change.is_set():
            left = None if until is None else until - time.time()
            if left is not None and left <= 0:
                yield message("expired", "{}")
                return
            try:
                await asyncio.wait_for(change.wait(), keep_alive if left is None else min(keep_alive, left))
            except TimeoutError:
                if until is None or time.time() < until:
                    yield ": keep-alive\n\n"  # a comment line: proxies and the browser see the connection live
