"""What a room needs from the host that keeps its world, and nothing more: tokens, the world's
committed state, and an atomic append of frames to the world's chain.

The room does not care which store is behind it; `kest serve` answers with its world service, and
any other host (a test's own SQLite file, for one) can answer with a few queries.
"""

from dataclasses import dataclass
from typing import Protocol

PLAYER = "player"
SPECTATOR = "spectator"


@dataclass(frozen=True)
class Principal:
    """Who a token speaks for. `key` identifies the token itself (never the token's text), so that
    a second connection with the same token can replace the first."""

    key: str
    role: str
    world_id: str | None
    entity_id: str | None


@dataclass(frozen=True)
class RoomWorld:
    """A world's committed state as the room starts from it. Texts are JSON, handed on unparsed.
    A player's id in frames is its token's entity id, so the room maps players as they join.
    `room_members` are the room settings the world's game master set (`kest.server.settings.check_room`);
    `taken_seqs` the seqs of each player in the world's last committed frames, so that a command a
    crash did not lose is not taken twice; `action_ids` and `entity_ids` what commands may name
    (read by the host off the event loop: mutations change properties and tags only, so the
    entities of a world stay those it opened with)."""

    world_id: str
    state: str
    ruleset: str
    frame: int
    room_members: dict
    taken_seqs: dict[str, list[int]]
    action_ids: frozenset[str]
    entity_ids: frozenset[str]


@dataclass(frozen=True)
class FrameGroup:
    """Frames ticked since the last commit: their commands arrays (as given to `tick_frame`) and
    their "FrameResolved" events, in order, and the state after the last of them. One group becomes
    one record of the world's chain, which so holds each frame's input beside its outcome."""

    first_frame: int
    last_frame: int
    commands: tuple[str, ...]
    events: tuple[str, ...]
    state: str

    RECORD_TYPE = "FramesResolved"

    def payload(self) -> str:
        return '{"commands":[' + ",".join(self.commands) + '],"frames":[' + ",".join(self.events) + "]}"


class RoomHost(Protocol):
    async def authenticate(self, token: str) -> Principal | None:
        """The token's principal, or None for a token nobody issued (or one expired)."""

    async def open_world(self, world_id: str, recent_frames: int) -> RoomWorld | None:
        """Take the world for real-time play (the epoch clock leaves it alone until it is released)
        and return its committed state, with the seqs of its last `recent_frames` committed frames
        (at least); None for an unknown world. Raises NotOwner (`kest.server.store`) when another
        process owns the world."""

    async def append_frames(self, world_id: str, group: FrameGroup) -> None:
        """Sign the group into the world's chain and store its state, atomically; return once
        committed. Raises when nothing was stored: NotOwner when this process no longer owns the
        world, NotFound (`kest.server.errors`) when it was deleted."""

    async def owner_address(self, world_id: str) -> str | None:
        """Where another process that owns the world is reached; None when none does."""

    async def release_world(self, world_id: str) -> None:
        """Give the world back to the epoch clock."""
