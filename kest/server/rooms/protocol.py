"""The messages of a room connection: reading what a client sends, writing what the server sends.

Client messages are checked here completely, so that a command that reaches the room can never make
a frame fail as a whole: its seq is a JS-safe integer, its action names an action of the ruleset and
its target an entity of the world, each id within the host's id rules.
"""

from dataclasses import dataclass

from kest import jsontext
from kest.server.errors import BadInput
from kest.server.settings import MAX_SAFE
from kest.server.vetting import check_id

MAX_MESSAGE_CHARACTERS = 4096

# Close codes of the application range, each sent with a reason text.
CLOSE_BAD_JOIN = 4400
CLOSE_UNAUTHORIZED = 4401
CLOSE_FORBIDDEN = 4403
CLOSE_UNKNOWN_WORLD = 4404
CLOSE_STALLED = 4408
CLOSE_REPLACED = 4409
CLOSE_FLOOD = 4429
CLOSE_TOO_BIG = 1009
CLOSE_ROOM_CLOSED = 1001
CLOSE_MOVED = 4307  # the reason is where the world's owner is reached
CLOSE_TRY_AGAIN = 1013


def moved(address: str | None) -> tuple[int, str]:
    """The close code and reason that send a client to the process owning its world (at `address`,
    its base URL), or ask it to come back when no process owns the world right now."""
    if address is None:
        return CLOSE_TRY_AGAIN, "no process owns the world right now; come back"
    return CLOSE_MOVED, address


class Refusal(ValueError):
    """A client message answered with an error message; the connection stays open."""

    def __init__(self, reason: str, message: str, seq: int | None = None):
        super().__init__(message)
        self.reason = reason
        self.seq = seq


@dataclass(frozen=True)
class Join:
    token: str
    last_frame: int | None


@dataclass(frozen=True)
class Ack:
    frame: int


@dataclass(frozen=True)
class StateRequest:
    frame: int


@dataclass(frozen=True)
class Command:
    seq: int
    action_id: str
    target_id: str | None


def _is_js_safe(value) -> bool:
    return type(value) is int and -MAX_SAFE <= value <= MAX_SAFE


def _is_frame_number(value) -> bool:
    return type(value) is int and 0 <= value <= MAX_SAFE


def read_message(text: str | bytes):
    """The JSON object of one message; Refusal when it is not one (nested past the engine's limit
    among them: `jsontext.loads` refuses that before it parses)."""
    if isinstance(text, bytes):
        try:
            text = text.decode()
        except UnicodeDecodeError:
            raise Refusal("bad_json", "a message must be UTF-8 JSON text") from None
    try:
        message = jsontext.loads(text)
    except ValueError as failure:
        raise Refusal("bad_json", f"not a JSON message: {failure}") from None
    if type(message) is not dict or type(message.get("type")) is not str:
        raise Refusal("bad_message", 'a message is an object with a string "type"')
    return message


def read_join(message: dict) -> Join:
    if message["type"] != "join" or type(message.get("token")) is not str:
        raise Refusal("bad_join", 'the first message must be {"type":"join","token":...}')
    last_frame = message.get("lastFrame")
    if last_frame is not None and not _is_frame_number(last_frame):
        raise Refusal("bad_join", '"lastFrame" must be null or a frame number')
    return Join(message["token"], last_frame)


def read_request(message: dict, actions, entities) -> Command | Ack | StateRequest:
    """A message after the join. `actions` and `entities` hold the ids a command may name."""
    kind = message["type"]
    if kind == "ack":
        if not _is_frame_number(message.get("frame")):
            raise Refusal("bad_message", '"frame" must be a frame number')
        return Ack(message["frame"])
    if kind == "state":
        if not _is_frame_number(message.get("frame")):
            raise Refusal("bad_message", '"frame" must be a frame number')
        return StateRequest(message["frame"])
    if kind != "command":
        raise Refusal("bad_message", f"unknown message type {kind!r}")
    seq = message.get("seq")
    if not _is_js_safe(seq):
        raise Refusal("bad_seq", '"seq" must be a JS-safe integer')
    action_id, target_id = message.get("actionId"), message.get("targetId")
    _check_member("actionId", action_id, actions, "an action", "unknown_action", seq)
    if target_id is not None:
        _check_member("targetId", target_id, entities, "an entity", "unknown_target", seq)
    return Command(seq, action_id, target_id)


def _check_member(name: str, value, known, what: str, reason: str, seq: int) -> None:
    """A command's id passes the host's id rules and names something the world has."""
    try:
        check_id(name, value)
    except BadInput as refusal:
        raise Refusal(reason, str(refusal), seq) from None
    if value not in known:
        raise Refusal(reason, f'{name} "{value}" is not {what} of this world', seq)


def error_message(refusal: Refusal) -> str:
    body = {"type": "error", "reason": refusal.reason, "message": str(refusal)}
    if refusal.seq is not None:
        body["seq"] = refusal.seq
    return jsontext.dumps(body)


def frame_message(frame: int, commands: str, event: str, state_hash: str, frame_members: str) -> str:
    """Written once per frame and sent as it is to every connection of the room. `frame_members`
    are the caps and players the frame was ticked with (`FrameRules.frame_members`)."""
    return (
        f'{{"type":"frame","frame":{frame},"commands":{commands},"event":{event},'
        f'"hash":"{state_hash}",{frame_members}}}'
    )


def welcome_message(fields: dict, state: str | None, ruleset: str, frames: list[str]) -> str:
    """The answer to a join: `fields` as they are, the state when the client must start from it,
    and the frames it has missed."""
    text = jsontext.dumps({"type": "welcome", **fields})[:-1]
    if state is not None:
        text += f',"state":{state}'
    return f'{text},"ruleset":{ruleset},"frames":[{",".join(frames)}]}}'


def state_message(frame: int, state: str) -> str:
    return f'{{"type":"state","frame":{frame},"state":{state}}}'
