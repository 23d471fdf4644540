"""The knobs of a room, with the defaults the overload policy states, and the few of them a game
master sets for a world: its frame rate and the engine's command caps."""

import dataclasses
from dataclasses import dataclass

from kest.server.errors import BadInput

MIN_RATE, MAX_RATE = 1, 60
JS_SAFE = 9007199254740991

# The members of a world's room settings (kept under "room" in the world's settings), by field name.
WORLD_MEMBERS = {"rate": "rate", "maxCommandsPerPlayer": "max_commands_per_player", "maxCommands": "max_commands"}


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
        check_world_members(self.world_members())

    @property
    def period(self) -> float:
        return 1.0 / self.rate

    def world_members(self) -> dict:
        return {member: getattr(self, name) for member, name in WORLD_MEMBERS.items()}

    def with_world_members(self, members: dict) -> "RoomSettings":
        """These settings with a world's own members (as `check_world_members` passed them) in place."""
        return dataclasses.replace(self, **{WORLD_MEMBERS[member]: value for member, value in members.items()})


def _is_cap(value) -> bool:
    return value is None or (type(value) is int and 0 <= value <= JS_SAFE)


def check_world_members(members) -> dict:
    """A game master's room settings, each member checked; members left out are left as they are."""
    if type(members) is not dict:
        raise BadInput("room settings are an object: {rate?, maxCommandsPerPlayer?, maxCommands?}")
    unknown = sorted(set(members) - set(WORLD_MEMBERS))
    if unknown:
        raise BadInput(f'"{unknown[0]}" is not a room setting (rate, maxCommandsPerPlayer, maxCommands)')
    if "rate" in members and not (type(members["rate"]) is int and MIN_RATE <= members["rate"] <= MAX_RATE):
        raise BadInput(f"rate must be an integer from {MIN_RATE} to {MAX_RATE} (frames a second)")
    for cap in ("maxCommandsPerPlayer", "maxCommands"):
        if cap in members and not _is_cap(members[cap]):
            raise BadInput(f"{cap} must be null (no cap) or an integer from 0 to {JS_SAFE}")
    return members
