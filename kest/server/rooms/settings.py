"""The knobs of a room, with the defaults the overload policy states."""

from dataclasses import dataclass


@dataclass(frozen=True)
class RoomSettings:
    rate: int = 20  # frames a second, 1 to 60
    max_commands_per_player: int | None = 4  # per frame; more are the engine's "rate_limited"
    grace_seconds: float = 20.0  # an empty room waits this long for its clients before it closes
    frames_kept: int = 400  # frame messages kept for clients that come back (20 s at 20 Hz)
    states_kept: int = 64  # states kept for clients that compare theirs
    commit_interval: float = 0.1  # frames reach the chain at most this long (plus one commit) after their tick
    ack_timeout: float = 2.0  # a connection that acknowledges nothing for this long is cut off
    max_queued: int = 64  # a connection with this many messages waiting to be written is cut off
    messages_per_second: int = 200  # a connection sending more is closed
    join_timeout: float = 5.0  # the join message must arrive within this time

    def __post_init__(self):
        if not 1 <= self.rate <= 60:
            raise ValueError("a room ticks 1 to 60 frames a second")

    @property
    def period(self) -> float:
        return 1.0 / self.rate
