"""The WebSocket protocol `kest serve` runs under uvicorn: uvicorn's own, with one bound added.

A peer that reads nothing fills its buffers; once the application is done with the connection,
uvicorn closes the transport, which waits for those buffers to drain, and a peer that keeps
acknowledging with a zero window keeps them from ever draining. Such a connection is dropped a short
while after the application let it go, so that its socket and buffers are released in bounded time.
"""

from uvicorn.protocols.websockets.websockets_sansio_impl import WebSocketsSansIOProtocol

DRAIN_GRACE = 2.0  # seconds a finished connection has to take its last frames


class BoundedCloseProtocol(WebSocketsSansIOProtocol):
    async def run_asgi(self) -> None:
        await super().run_asgi()
        self.loop.call_later(DRAIN_GRACE, self._drop_if_stuck)

    def _drop_if_stuck(self) -> None:
        if not self.disconnected:
            self.transport.abort()
