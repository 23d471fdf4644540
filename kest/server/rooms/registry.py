"""The open rooms of a server, one per world at most, and the routes that reach them.

A room opens with the first connection to its world and closes once nobody has been connected for
its grace window; opening and closing take one lock, so a join never lands in a room that is closing.
"""

import asyncio

from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route, WebSocketRoute
from starlette.websockets import WebSocket, WebSocketDisconnect

from kest.server.rooms import protocol
from kest.server.rooms.connection import Connection
from kest.server.rooms.host import PLAYER, Principal, RoomHost
from kest.server.rooms.protocol import Refusal
from kest.server.rooms.room import Room
from kest.server.rooms.settings import RoomSettings


class Rooms:
    def __init__(self, host: RoomHost, settings: RoomSettings | None = None):
        self.host = host
        self.settings = settings or RoomSettings()
        self._rooms: dict[str, Room] = {}
        self._lock = asyncio.Lock()

    def open_room(self, world_id: str) -> Room | None:
        return self._rooms.get(world_id)

    async def room(self, world_id: str) -> Room | None:
        """The world's room, opened if need be; None for an unknown world."""
        async with self._lock:
            room = self._rooms.get(world_id)
            if room is None:
                world = await self.host.open_world(world_id)
                if world is None:
                    return None
                room = Room(world, self.host, self.settings, self._close_if_idle)
                room.start()
                self._rooms[world_id] = room
            return room

    async def _close_if_idle(self, room: Room) -> None:
        async with self._lock:
            if not room.idle or self._rooms.get(room.world_id) is not room:
                return
            del self._rooms[room.world_id]
            await room.close()

    async def close(self) -> None:
        async with self._lock:
            rooms, self._rooms = list(self._rooms.values()), {}
            await asyncio.gather(*(room.close() for room in rooms))

    async def _principal(self, token: str, world_id: str) -> tuple[Principal | None, int, str]:
        principal = await self.host.authenticate(token)
        if principal is None:
            return None, protocol.CLOSE_UNAUTHORIZED, "unknown token"
        if principal.world_id is not None and principal.world_id != world_id:
            return None, protocol.CLOSE_FORBIDDEN, "the token is for another world"
        return principal, 0, ""

    async def report(self, request: Request) -> JSONResponse:
        world_id = request.path_params["world_id"]
        scheme, _, token = request.headers.get("authorization", "").partition(" ")
        principal, code, reason = await self._principal(token if scheme.lower() == "bearer" else "", world_id)
        if principal is None:
            return JSONResponse({"error": reason}, status_code=401 if code == protocol.CLOSE_UNAUTHORIZED else 403)
        room = self._rooms.get(world_id)
        return JSONResponse({"open": room is not None, **(room.report() if room else {})})

    async def serve(self, socket: WebSocket) -> None:
        await socket.accept()
        try:
            joined = await self._join(socket)
        except WebSocketDisconnect:
            return
        if joined is not None:
            await self._converse(socket, *joined)

    async def _join(self, socket: WebSocket) -> tuple[Room, Connection] | None:
        """Read the join message and put the connection in its room, or close it with the reason."""
        world_id = socket.path_params["world_id"]
        try:
            text = await asyncio.wait_for(socket.receive_text(), self.settings.join_timeout)
        except TimeoutError:
            await socket.close(protocol.CLOSE_BAD_JOIN, "no join message")
            return None
        if len(text) > protocol.MAX_MESSAGE_CHARACTERS:
            await socket.close(protocol.CLOSE_TOO_BIG, "message too big")
            return None
        try:
            join = protocol.read_join(protocol.read_message(text))
        except Refusal as refusal:
            await socket.close(protocol.CLOSE_BAD_JOIN, str(refusal))
            return None
        principal, code, reason = await self._principal(join.token, world_id)
        if principal is None:
            await socket.close(code, reason)
            return None
        room = await self.room(world_id)
        if room is None:
            await socket.close(protocol.CLOSE_UNKNOWN_WORLD, "no such world")
            return None
        if principal.role == PLAYER and not room.holds_entity(principal.entity_id):
            await socket.close(protocol.CLOSE_FORBIDDEN, "the token's entity is not in this world")
            return None
        connection = Connection(socket, principal, self.settings.messages_per_second)
        room.join(connection, join.last_frame)
        return room, connection

    async def _converse(self, socket: WebSocket, room: Room, connection: Connection) -> None:
        try:
            while not connection.closed:
                message = await socket.receive()
                if message["type"] == "websocket.disconnect":
                    break
                if not connection.gate.admit():
                    room.stats.flood_closed += 1
                    connection.close(protocol.CLOSE_FLOOD, "too many messages")
                    break
                data = message.get("text") if message.get("text") is not None else message.get("bytes")
                if len(data) > protocol.MAX_MESSAGE_CHARACTERS:
                    connection.close(protocol.CLOSE_TOO_BIG, "message too big")
                    break
                try:
                    room.receive(connection, protocol.read_message(data))
                except Refusal as refusal:
                    connection.send(protocol.error_message(refusal))
        finally:
            room.leave(connection)
            connection.close(1000, "")
            await connection.finish()


def _rooms_of(connection) -> Rooms:
    return connection.app.state.rooms


async def _serve(socket: WebSocket) -> None:
    await _rooms_of(socket).serve(socket)


async def _report(request: Request) -> JSONResponse:
    return await _rooms_of(request).report(request)


def routes() -> list:
    """The room routes; they find the server's `Rooms` at `app.state.rooms`."""
    return [
        WebSocketRoute("/worlds/{world_id}/room", _serve),
        Route("/worlds/{world_id}/room", _report, methods=["GET"]),
    ]
