"""The open rooms of a server, one per world at most, and the routes that reach them.

A room opens with the first connection to its world and closes once nobody has been connected for
its grace window, or once its world is no longer its own (deleted, or owned by another process);
opening and closing take one lock, so a join never lands in a room that is closing.

With several processes on one database a world's room is on the process that owns the world: a join
elsewhere is sent there (close code 4307, the owner's address as the reason), and so is a request for
the room's report (307, `Location`).
"""

import asyncio

from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route, WebSocketRoute
from starlette.websockets import WebSocket, WebSocketDisconnect

from kest.server.errors import Forbidden, Unauthorized
from kest.server.rooms import protocol
from kest.server.rooms.connection import Connection
from kest.server.rooms.host import PLAYER, Principal, RoomHost
from kest.server.rooms.protocol import Refusal
from kest.server.rooms.room import Room
from kest.server.rooms.settings import RoomSettings
from kest.server.store import NotOwner


class Rooms:
    def __init__(self, host: RoomHost, settings: RoomSettings | None = None):
        self.host = host
        self.settings = settings or RoomSettings()
        self._rooms: dict[str, Room] = {}
        self._lock = asyncio.Lock()

    def open_room(self, world_id: str) -> Room | None:
        return self._rooms.get(world_id)

    async def room(self, world_id: str) -> Room | None:
        """The world's room, opened if need be; None for an unknown world. Raises NotOwner when another
        process owns the world."""
        async with self._lock:
            room = self._rooms.get(world_id)
            if room is None:
                # Clients come back within the grace window; the room keeps about that many frames.
                world = await self.host.open_world(world_id, self.settings.frames_kept)
                if world is None:
                    return None
                settings = self.settings.with_world_members(world.room_members)
                room = Room(world, self.host, settings, self._close_if_done)
                room.start()
                self._rooms[world_id] = room
            return room

    async def _close_if_done(self, room: Room) -> None:
        async with self._lock:
            if not room.done or self._rooms.get(room.world_id) is not room:
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

    async def _caller(self, request: Request) -> Principal:
        """The principal of an HTTP request's bearer token; refusals as the host answers them."""
        scheme, _, token = request.headers.get("authorization", "").partition(" ")
        principal, code, reason = await self._principal(token if scheme.lower() == "bearer" else "", _world_of(request))
        if principal is None:
            raise Unauthorized(reason) if code == protocol.CLOSE_UNAUTHORIZED else Forbidden(reason)
        return principal

    async def report(self, request: Request) -> JSONResponse:
        await self._caller(request)
        world_id = _world_of(request)
        room = self._rooms.get(world_id)
        if room is None:
            address = await self.host.owner_address(world_id)
            if address is not None:
                raise NotOwner(world_id, address)  # answered 307, to the owner's room
        return JSONResponse({"open": room is not None, **(room.report() if room else {})})

    async def world_configured(self, world_id: str, members: dict) -> None:
        """The world's game master set its room settings (`members`, all of them): an open room
        takes them at once. Under the rooms' lock, so that no room opens with the settings replaced."""
        async with self._lock:
            room = self._rooms.get(world_id)
            if room is not None:
                room.reconfigure(self.settings.with_world_members(members))

    async def world_deleted(self, world_id: str) -> None:
        """The world was deleted: its open room lets its clients go (4404) and stops, writing nothing."""
        async with self._lock:
            room = self._rooms.pop(world_id, None)
            if room is not None:
                room.lose(protocol.CLOSE_UNKNOWN_WORLD, "the world was deleted")
                await room.close()

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
        try:
            room = await self.room(world_id)
        except NotOwner as elsewhere:
            await socket.close(*protocol.moved(elsewhere.address))
            return None
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
                message = await connection.receive()
                if message is None or message["type"] == "websocket.disconnect":
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


def _world_of(request: Request) -> str:
    return request.path_params["world_id"]


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
