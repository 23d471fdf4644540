"""What a room counts about itself, reported on request: nothing late or overrun goes unseen."""

from collections import deque
from dataclasses import dataclass, field

_SAMPLES = 4096


def _percentile(samples, fraction: float) -> float | None:
    if not samples:
        return None
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


@dataclass
class RoomStats:
    frames: int = 0
    overruns: int = 0  # frames that took longer than their period
    rebased: int = 0  # times the clock fell a whole period behind and started its schedule again
    stalled_cut: int = 0
    flood_closed: int = 0
    commit_groups: int = 0
    commit_failures: int = 0
    lateness: deque = field(default_factory=lambda: deque(maxlen=_SAMPLES))  # seconds past each frame's deadline
    commit_lag: deque = field(default_factory=lambda: deque(maxlen=_SAMPLES))  # seconds from a group's last tick

    def report(self) -> dict:
        def ms(value):
            return None if value is None else round(value * 1000, 3)

        return {
            "frames": self.frames,
            "overruns": self.overruns,
            "rebased": self.rebased,
            "stalledCut": self.stalled_cut,
            "floodClosed": self.flood_closed,
            "commitGroups": self.commit_groups,
            "commitFailures": self.commit_failures,
            "latenessP50Ms": ms(_percentile(self.lateness, 0.50)),
            "latenessP99Ms": ms(_percentile(self.lateness, 0.99)),
            "latenessMaxMs": ms(max(self.lateness, default=None)),
            "commitLagP99Ms": ms(_percentile(self.commit_lag, 0.99)),
        }
