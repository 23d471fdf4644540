"""Frame ticks as text: the `tick_frame` input built by joining texts, and its output split into the
event and the state without parsing the state.

A room ticks many frames a second over a state that may be large; parsing and writing the whole
state at every frame would cost more than the tick itself. The engine writes its output compactly
with sorted keys, `{"event":E,"rejected":N,"resolved":N,"state":S}`, so the event is the one JSON
value after `{"event":` and the state is everything between `,"state":` and the final `}`.
"""

import json
from dataclasses import dataclass

import kest_engine_native as k
from kest import jsontext

_EVENT_START = len('{"event":')
_STATE_MEMBER = ',"state":'
_DECODER = json.JSONDecoder()


@dataclass(frozen=True)
class FrameRules:
    """What every frame of a room is ticked with besides its state and commands, as JSON texts."""

    world_id: str
    ruleset: str
    player_entities: str
    max_commands_per_player: int | None

    def tick_input(self, frame: int, state: str, commands: str) -> str:
        return self._document(f'"commands":{commands},"frameNumber":{frame},"state":{state}')

    def reconcile_input(self, corrected_state: str, commands_by_frame: str, to_frame: int) -> str:
        return self._document(
            f'"commandsByFrame":{commands_by_frame},"correctedState":{corrected_state},"toFrame":{to_frame}'
        )

    def _document(self, members: str) -> str:
        """An input document: `members` (JSON text) and the members every frame of the room shares."""
        cap = "null" if self.max_commands_per_player is None else str(self.max_commands_per_player)
        return (
            f'{{{members},"maxCommandsPerPlayer":{cap},"playerEntities":{self.player_entities},'
            f'"ruleset":{self.ruleset},"worldId":{jsontext.dumps(self.world_id)}}}'
        )


def split_tick_output(output: str) -> tuple[str, str]:
    """The event text and the state text of a `tick_frame` (or `tick_epoch`) output, whose members
    come in key order: "event", "rejected", "resolved", "state". Only the event is scanned."""
    _, event_end = _DECODER.raw_decode(output, _EVENT_START)
    state_start = output.index(_STATE_MEMBER, event_end) + len(_STATE_MEMBER)
    return output[_EVENT_START:event_end], output[state_start:-1]


def reconciled_state(output: str) -> str:
    """The state of a `reconcile_frames` output document (`{"events":..,"framesReplayed":N,"state":S}`)."""
    _, events_end = _DECODER.raw_decode(output, len('{"events":'))
    state_start = output.index(_STATE_MEMBER, events_end)
    return output[state_start + len(_STATE_MEMBER) : -1]


def tick(rules: FrameRules, frame: int, state: str, commands: str) -> tuple[str, str]:
    """The event and the state of the frame, as texts."""
    return split_tick_output(k.tick_frame(rules.tick_input(frame, state, commands)))


def state_hash(key: str, state: str) -> str:
    return k.world_state_hash(key, state)
