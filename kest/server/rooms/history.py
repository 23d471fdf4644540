"""What a room remembers of its recent past: the frame messages it sent, for clients that come
back, the states of the last few frames, for clients that want to compare, and the seqs each
player has used, so that a command is taken once."""

from collections import deque


class RecentFrames:
    """The last `capacity` frame messages and the states of the last `states_kept` frames."""

    def __init__(self, capacity: int, states_kept: int):
        self._messages: deque[tuple[int, str]] = deque(maxlen=capacity)
        self._states: deque[tuple[int, str]] = deque(maxlen=states_kept)

    def add(self, frame: int, message: str, state: str) -> None:
        self._messages.append((frame, message))
        self._states.append((frame, state))

    def messages_after(self, frame: int) -> list[str] | None:
        """The messages of every frame after `frame`, or None when some of them are forgotten."""
        if not self._messages:
            return None
        first = self._messages[0][0]
        if frame + 1 < first:
            return None
        return [message for number, message in self._messages if number > frame]

    def state_of(self, frame: int) -> str | None:
        for number, state in reversed(self._states):
            if number == frame:
                return state
        return None


class TakenSeqs:
    """The seqs one player has used. Only the latest `capacity` are held one by one; any seq at or
    below the highest one let go counts as taken, so memory stays bounded while a client that
    numbers its commands upwards (as `kest.client` does) never sees a false refusal."""

    def __init__(self, capacity: int = 4096):
        self._capacity = capacity
        self._seqs: set[int] = set()
        self._order: deque[int] = deque()
        self._floor: int | None = None

    def take(self, seq: int) -> bool:
        """Mark the seq taken; False when it already was."""
        if seq in self._seqs or (self._floor is not None and seq <= self._floor):
            return False
        self._seqs.add(seq)
        self._order.append(seq)
        if len(self._order) > self._capacity:
            forgotten = self._order.popleft()
            self._seqs.discard(forgotten)
            self._floor = forgotten if self._floor is None else max(self._floor, forgotten)
        return True
