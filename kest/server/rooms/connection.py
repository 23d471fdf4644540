"""One client's connection to a room: its own send queue and writer, so that a client that reads
slowly (or never) holds up nobody but itself, and the counts the room judges it by."""

import asyncio
import contextlib
import logging
from collections import deque

from starlette.websockets import WebSocket

from kest.server.rooms.host import Principal

_log = logging.getLogger("kest.server.rooms")
_CLOSE_TIMEOUT = 1.0  # a client that does not take its close frame is not waited for longer


class FloodGate:
    """A token bucket: `per_second` messages a second on average, bursts up to one second's worth."""

    def __init__(self, per_second: int, clock):
        self._rate = per_second
        self._tokens = float(per_second)
        self._clock = clock
        self._last = clock()

    def admit(self) -> bool:
        now = self._clock()
        self._tokens = min(self._rate, self._tokens + (now - self._last) * self._rate)
        self._last = now
        if self._tokens < 1:
            return False
        self._tokens -= 1
        return True


class Connection:
    def __init__(self, socket: WebSocket, principal: Principal, messages_per_second: int):
        loop = asyncio.get_running_loop()
        self.socket = socket
        self.principal = principal
        self.gate = FloodGate(messages_per_second, loop.time)
        self.acked_frame = -1
        self.last_ack_at = loop.time()
        self.closed = False
        self._closing: asyncio.Task | None = None
        self._queue: deque[str] = deque()
        self._ready = asyncio.Event()
        self._writer = asyncio.create_task(self._write())

    @property
    def queued(self) -> int:
        return len(self._queue)

    def send(self, text: str) -> None:
        """Queue a message; never waits."""
        if not self.closed:
            self._queue.append(text)
            self._ready.set()

    def acknowledge(self, frame: int) -> None:
        self.acked_frame = max(self.acked_frame, frame)
        self.last_ack_at = asyncio.get_running_loop().time()

    def close(self, code: int, reason: str) -> None:
        """Stop sending and close the socket in the background; the room forgets it at once."""
        if self.closed:
            return
        self.closed = True
        self._queue.clear()
        self._writer.cancel()
        self._closing = asyncio.get_running_loop().create_task(self._close_socket(code, reason))

    async def finish(self) -> None:
        """Wait for the close frame to go out (or the wait to be given up), so that the server does
        not drop the connection before its close code and reason are sent."""
        if self._closing is not None:
            await self._closing

    async def _close_socket(self, code: int, reason: str) -> None:
        # A client that never reads has filled its buffers; its close frame may never go out.
        with contextlib.suppress(Exception, asyncio.TimeoutError):
            await asyncio.wait_for(self.socket.close(code, reason), _CLOSE_TIMEOUT)

    async def _write(self) -> None:
        try:
            while True:
                await self._ready.wait()
                while self._queue:
                    await self.socket.send_text(self._queue.popleft())
                self._ready.clear()
        except asyncio.CancelledError:
            raise
        except Exception as failure:  # the peer went away; the reader sees it too and detaches
            _log.debug("room connection write ended: %s", failure)
            self.closed = True
