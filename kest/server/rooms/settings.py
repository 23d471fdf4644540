"""The knobs of a room, with the defaults the overload policy states. A world's game master sets
three of them, its frame rate and the engine's command caps, as the member "room" of the world's
settings, which the host checks with the rest of them (`kest.server.settings.check_room`)."""

import dataclasses
from dataclasses import dataclass

from kest.server.settings import ROOM_MEMBERS, check_room

# The field of each member of a world's room settings.
_FIELDS = dict(zip(ROOM_MEMBERS, ("rate", "max_commands_per_player", "max_commands"), strict=True))


@dataclass(frozen=True)
class RoomSettings:
    rate: int = 20  # frames a second, 1 to 60
    max_commands_per_player: int | None = 4  # per frame; more are the engine's "rate_limited"
    max_commands: int | None = None  # per frame for the whole room; None: no cap
    grace_seconds: float = 20.0  # an empty room waits this long for its clients before it closes
    frames_kept: int = 400  # frame messages kept for clients that come back (20 s at 20 Hz)
    states_kept: int = 64  # states kept for clients that compare theirs
    commit_interval: float = 0.1  # frames reach the chain at most this long (plus one commit) after their tick
    ack_timeout: float = 2.0  # a connection that acknowledges nothing for this long is cut off
    max_queued: int = 64  # a connection with this many messages waiting to be written is cut off
    messages_per_second: int = 200  # a connection sending more is closed
    join_timeout: float = 5.0  # the join message must arrive within this time

    def __post_init__(self):
        check_room(self.world_members())

    @property
    def period(self) -> float:
        return 1.0 / self.rate

    def world_members(self) -> dict:
        return {member: getattr(self, name) for member, name in _FIELDS.items()}

    def with_world_members(self, members: dict) -> "RoomSettings":
        """These settings with a world's own members (as `check_room` passed them) in place."""
        return dataclasses.replace(self, **{_FIELDS[member]: value for member, value in members.items()})
