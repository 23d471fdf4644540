"""Rooms hosted by `kest serve`: tokens, worlds and chains from the world service."""

import asyncio
import json

from kest.server import tokens
from kest.server.errors import NotFound, Unauthorized
from kest.server.rooms.history import seqs_by_player
from kest.server.rooms.host import FrameGroup, Principal, RoomWorld
from kest.server.settings import stored_settings
from kest.server.worlds import WorldService


class WorldServiceRoomHost:
    """Every call to the service runs on a worker thread: each reads the store or runs the engine."""

    def __init__(self, service: WorldService):
        self._service = service

    async def authenticate(self, token: str) -> Principal | None:
        service = self._service
        try:
            found = await asyncio.to_thread(
                lambda: tokens.authenticate(service.store.reads(), f"Bearer {token}", service.clock())
            )
        except Unauthorized:
            return None
        return Principal(tokens.token_hash(token), found.role, found.world_id, found.entity_id)

    async def open_world(self, world_id: str, recent_frames: int) -> RoomWorld | None:
        try:
            return await asyncio.to_thread(self._open_world, world_id, recent_frames)
        except NotFound:
            return None

    def _open_world(self, world_id: str, recent_frames: int) -> RoomWorld:
        row = self._service.hold(world_id)
        # Every frame record holds one frame at least, so as many records as frames are enough.
        records = self._service.store.reads().records(world_id, row.head_seq - recent_frames, recent_frames)
        payloads = [record.payload for record in records if record.type == FrameGroup.RECORD_TYPE]
        entities = json.loads(row.state).get("entities")
        return RoomWorld(
            world_id,
            row.state,
            row.ruleset,
            row.frame,
            stored_settings(row.settings).room,
            seqs_by_player(payloads),
            frozenset(json.loads(row.ruleset)),
            frozenset(entities) if isinstance(entities, dict) else frozenset(),
        )

    async def append_frames(self, world_id: str, group: FrameGroup) -> None:
        await asyncio.to_thread(self._service.append_frames, world_id, group.payload(), group.state, group.last_frame)

    async def owner_address(self, world_id: str) -> str | None:
        return await asyncio.to_thread(lambda: self._service.store.reads().owner_address(world_id))

    async def release_world(self, world_id: str) -> None:
        self._service.release(world_id)
