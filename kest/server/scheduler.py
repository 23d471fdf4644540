"""The clock: ticks every live world whose epoch boundary has passed, at most maxCatchup epochs
of one world per pass, and suspends the worlds nobody has used for the idle time."""

import asyncio
import concurrent.futures
import logging

from kest.server.store import StoreError
from kest.server.worlds import WorldService

log = logging.getLogger("kest.server")
DUE_PAGE = 512
IDLE_CHECK_SECONDS = 1.0
# Ticks of different worlds run side by side so that their commits share the writer's groups: while one
# group commits, the others read and compute the next. On a database server, where each commit costs round
# trips, a group shared by more ticks costs each of them less.
TICK_THREADS = 16


class Clock:
    def __init__(self, service: WorldService, interval: float, idle_seconds: float):
        self._service = service
        self._interval = interval
        self._idle_seconds = idle_seconds
        self._pool = concurrent.futures.ThreadPoolExecutor(TICK_THREADS, thread_name_prefix="kest-clock")

    async def run(self) -> None:
        loop = asyncio.get_running_loop()
        last_idle_check = 0.0
        while True:
            try:
                await self._pass(loop)
                now = self._service.clock()
                if now - last_idle_check >= IDLE_CHECK_SECONDS:
                    last_idle_check = now
                    await self._suspend_idle(loop, now)
            except StoreError as failure:
                log.error("the clock could not reach the store: %s", failure)
            except Exception:
                log.exception("a pass of the clock failed")
            await asyncio.sleep(self._interval)

    async def _pass(self, loop) -> None:
        reads = self._service.store.reads
        due = await loop.run_in_executor(self._pool, lambda: reads().due_worlds(self._service.clock(), DUE_PAGE))
        if due:
            await asyncio.gather(*(loop.run_in_executor(self._pool, self._service.advance, world) for world in due))

    async def _suspend_idle(self, loop, now: float) -> None:
        reads = self._service.store.reads
        idle = await loop.run_in_executor(self._pool, lambda: reads().idle_worlds(now - self._idle_seconds, DUE_PAGE))
        for world_id in idle:
            await loop.run_in_executor(self._pool, self._service.suspend, world_id)

    def close(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)
