"""An asyncio client of a real-time room (`kest serve`, `WS /worlds/{id}/room`).

It joins with a token, sends commands numbered by their `seq`, and follows the room frame by
frame: each frame the server sends is ticked here too, on the client's own copy of the state, and
the keyed hash of the result is compared with the server's. A player's own commands are predicted:
the next frame is ticked with them as soon as they are sent, and when the server's frame turns out
to hold other commands (another player's, or one of ours that arrived late) the client rolls back
to the last state the server confirmed and replays the frame as the server ran it. Should a hash
ever differ, the client asks for the server's state and records what differs (`Desync`).

A connection that drops is taken up again transparently within the room's grace window: the
client rejoins with the last frame it read and gets exactly the frames it missed. Where several
host processes share the worlds, the URL given may be any of them: a join is sent on once to the
process that owns the world (close code 4307), and every rejoin starts again from the URL given, so
that a room that moved to another process is found there.

    client = await RoomClient.join("ws://127.0.0.1:8080/worlds/w/room", token)
    await client.command("strike", "ogre")
    frame = await client.next_frame()
"""

import asyncio
import contextlib
import json
import time
from collections import deque
from dataclasses import dataclass
from urllib.parse import urlsplit, urlunsplit

import websockets
from websockets.asyncio.client import ClientConnection

import kest_engine_native as k
from kest import forensics, frames, jsontext

# A close with one of these codes is final (bad join, unknown token, forbidden, unknown world,
# replaced by a newer connection); after any other the client comes back.
_FINAL_CLOSE_CODES = frozenset({4400, 4401, 4403, 4404, 4409})
# The room is on another process: the close reason is its address (its base URL).
_MOVED = 4307
_RETRY_PAUSE = 0.05


class RoomClosed(Exception):
    def __init__(self, code: int | None, reason: str):
        super().__init__(f"the room connection closed ({code}): {reason}")
        self.code = code
        self.reason = reason


@dataclass(frozen=True)
class Frame:
    number: int
    commands: list
    event: dict
    hash: str
    predicted: bool  # the client's prediction of this frame held
    rolled_back: bool  # the client had predicted other commands and replayed the server's


@dataclass(frozen=True)
class Desync:
    """A frame whose state hash differed from the server's, with the differences found."""

    frame: int
    local_hash: str
    server_hash: str
    findings: tuple

    def lines(self) -> list[str]:
        return [f"frame {self.frame}: local hash {self.local_hash} != server hash {self.server_hash}"] + [
            f"  {finding}" for finding in self.findings
        ]


@dataclass(frozen=True)
class _Prediction:
    frame: int
    commands: list
    rules: frames.FrameRules
    state: str

    def holds(self, frame: int, commands: list, rules: frames.FrameRules) -> bool:
        """The server's frame is the one predicted: its commands, and its rules too (the caps and
        the players may change from one frame to the next)."""
        return (self.frame, self.commands, self.rules) == (frame, commands, rules)


@dataclass(frozen=True)
class _Closed:
    code: int | None
    reason: str


class RoomClient:
    def __init__(self, url: str, token: str, *, predict: bool = True, follow_state: bool = True):
        self.url = url
        self.predict = predict and follow_state
        self.follow_state = follow_state
        self.world_id = self.role = self.player_id = self.hash_key = None
        self.frame: int | None = None
        self.state: str | None = None
        self.rate = 20
        self.grace_seconds = 20.0
        self.desyncs: list[Desync] = []
        self.errors: list[dict] = []
        self.counts = {"predicted": 0, "rolledBack": 0, "duplicates": 0, "reconnects": 0, "rewinds": 0}
        self._token = token
        self._rules: frames.FrameRules | None = None
        self._ruleset = "{}"
        self._pending: list[dict] = []
        self._prediction: _Prediction | None = None
        self._next_seq = time.time_ns() // 1000  # microseconds: later sessions never reuse a seq
        self._socket: ClientConnection | None = None
        self._reader: asyncio.Task | None = None
        self._inbox: asyncio.Queue = asyncio.Queue()
        self._backlog: deque = deque()
        self._state_replies: dict[int, asyncio.Future] = {}

    @classmethod
    async def join(cls, url: str, token: str, **options) -> "RoomClient":
        client = cls(url, token, **options)
        await client._connect()
        return client

    async def close(self) -> None:
        if self._reader is not None:
            self._reader.cancel()
        if self._socket is not None:
            await self._socket.close()

    async def drop(self) -> None:
        """Lose the connection as a network would, without a closing handshake (for tests and drills)."""
        self._socket.transport.abort()

    # -- sending -----------------------------------------------------------------------------

    async def command(self, action_id: str, target_id: str | None = None) -> int:
        """Send a command for the next frame and predict it; returns its seq. ConnectionError while
        the connection is down (the next `next_frame` takes it up again)."""
        seq, self._next_seq = self._next_seq, self._next_seq + 1
        entry = {"actionId": action_id, "playerId": self.player_id, "seq": seq}
        if target_id is not None:
            entry["targetId"] = target_id
        message = {"type": "command", "seq": seq, "actionId": action_id}
        if target_id is not None:
            message["targetId"] = target_id
        try:
            await self._socket.send(jsontext.dumps(message))
        except websockets.ConnectionClosed as closed:
            raise ConnectionError("the room connection is down") from closed
        self._pending.append(entry)
        self._predict()
        return seq

    async def server_state(self, frame: int) -> dict:
        """The server's state after `frame` (kept for the room's last few frames)."""
        reply = self._state_replies.setdefault(frame, asyncio.get_running_loop().create_future())
        await self._socket.send(jsontext.dumps({"type": "state", "frame": frame}))
        try:
            return await asyncio.wait_for(reply, 5.0)
        finally:
            self._state_replies.pop(frame, None)

    # -- receiving ---------------------------------------------------------------------------

    async def next_frame(self) -> Frame:
        """The next frame of the room, applied; reconnects on the way when the connection drops."""
        while True:
            message = self._backlog.popleft() if self._backlog else await self._inbox.get()
            if isinstance(message, _Closed):
                await self._come_back(message)
            elif message["type"] == "welcome":
                self._welcome(message)
            else:
                frame = await self._apply(message)
                if frame is not None:
                    return frame

    async def _connect(self) -> None:
        try:
            await self._connect_to(self.url)
        except websockets.ConnectionClosed as closed:
            if closed.rcvd is None or closed.rcvd.code != _MOVED:
                raise
            await self._connect_to(_room_at(closed.rcvd.reason, self.url))

    async def _connect_to(self, url: str) -> None:
        socket = await websockets.connect(url, max_size=None)
        await socket.send(jsontext.dumps({"type": "join", "token": self._token, "lastFrame": self.frame}))
        welcome = json.loads(await socket.recv())
        if welcome.get("type") != "welcome":
            raise RoomClosed(None, f"unexpected answer to the join: {welcome.get('type')}")
        self._socket = socket
        self._welcome(welcome)
        self._inbox = asyncio.Queue()
        self._reader = asyncio.get_running_loop().create_task(self._read(socket))

    async def _read(self, socket: ClientConnection) -> None:
        try:
            async for text in socket:
                message = json.loads(text)
                kind = message.get("type")
                if kind == "state":
                    reply = self._state_replies.get(message["frame"])
                    if reply is not None and not reply.done():
                        reply.set_result(message["state"])
                elif kind == "error":
                    self._refused(message)
                else:
                    self._inbox.put_nowait(message)
        except websockets.ConnectionClosed:
            pass
        self._inbox.put_nowait(_Closed(socket.close_code, socket.close_reason or ""))

    def _refused(self, message: dict) -> None:
        self.errors.append(message)
        if message.get("reason") == "state_not_kept":
            for reply in self._state_replies.values():
                if not reply.done():
                    reply.set_exception(LookupError(message["message"]))
        if "seq" in message:  # a command the room did not take will never be in a frame
            self._pending = [entry for entry in self._pending if entry["seq"] != message["seq"]]
            self._predict()

    async def _come_back(self, closed: _Closed) -> None:
        if closed.code in _FINAL_CLOSE_CODES:
            raise RoomClosed(closed.code, closed.reason)
        deadline = time.monotonic() + self.grace_seconds
        while True:
            try:
                await self._connect()
                self.counts["reconnects"] += 1
                return
            except (OSError, websockets.InvalidHandshake, websockets.ConnectionClosed) as failure:
                if (
                    isinstance(failure, websockets.ConnectionClosed)
                    and failure.rcvd
                    and failure.rcvd.code in (_FINAL_CLOSE_CODES)
                ):
                    raise RoomClosed(failure.rcvd.code, failure.rcvd.reason) from None
                if time.monotonic() > deadline:
                    raise RoomClosed(closed.code, f"could not come back: {failure}") from None
                await asyncio.sleep(_RETRY_PAUSE)

    def _welcome(self, message: dict) -> None:
        self.world_id, self.role, self.player_id = message["worldId"], message["role"], message["playerId"]
        self.hash_key, self.rate = message["hashKey"], message["rate"]
        self._ruleset = jsontext.dumps(message["ruleset"])
        self._set_rules(message)
        if "state" in message:
            if self.frame is not None and self.frame > message["frame"]:
                self.counts["rewinds"] += 1  # frames the room lost in a crash are dropped here too
            self.frame, state = message["frame"], message["state"]
            # A world that never ran a frame has no "frame" member, which a rollback needs. Every tick
            # sets it without reading it, so adding it changes no state that comes after.
            if isinstance(state, dict):
                state["frame"] = self.frame
            self.state = jsontext.dumps(state)
        # Commands sent before a drop are either in the frames missed or lost with the connection.
        self._pending, self._prediction = [], None
        self._backlog.extend(message["frames"])

    def _set_rules(self, message: dict) -> None:
        """The rules of the frames after a welcome or a frame message: its players and caps."""
        self._rules = frames.FrameRules(
            self.world_id,
            self._ruleset,
            jsontext.dumps(message["playerEntities"]),
            message["maxCommandsPerPlayer"],
            message["maxCommands"],
        )

    async def _apply(self, message: dict) -> Frame | None:
        number = message["frame"]
        if number <= self.frame:
            self.counts["duplicates"] += 1
            return None
        if number != self.frame + 1:
            raise RoomClosed(None, f"frame {number} came after frame {self.frame}")
        commands = message["commands"]
        self._set_rules(message)
        predicted = rolled_back = False
        if self.follow_state:
            prediction = self._prediction
            if prediction is not None and prediction.holds(number, commands, self._rules):
                state, predicted = prediction.state, True
                self.counts["predicted"] += 1
            else:
                state = self._replay(number, commands)
                rolled_back = prediction is not None
                self.counts["rolledBack"] += rolled_back
            state = await self._checked(number, state, message["hash"])
            self.state = state
        self.frame = number
        mine = {entry["seq"] for entry in commands if entry["playerId"] == self.player_id}
        self._pending = [entry for entry in self._pending if entry["seq"] not in mine]
        self._predict()
        with contextlib.suppress(websockets.ConnectionClosed):
            await self._socket.send(f'{{"type":"ack","frame":{number}}}')
        return Frame(number, commands, message["event"], message["hash"], predicted, rolled_back)

    def _replay(self, number: int, commands: list) -> str:
        """Roll back to the last state the server confirmed and replay its frame."""
        document = self._rules.reconcile_input(self.state, f'{{"{number}":{jsontext.dumps(commands)}}}', number)
        return frames.reconciled_state(k.reconcile_frames(document))

    def _predict(self) -> None:
        self._prediction = None
        if self.predict and self._pending and self.state is not None:
            number = self.frame + 1
            commands = list(self._pending)
            _, state = frames.tick(self._rules, number, self.state, jsontext.dumps(commands))
            self._prediction = _Prediction(number, commands, self._rules, state)

    async def _checked(self, number: int, state: str, server_hash: str) -> str:
        """The state to go on with: ours when the hashes agree, else the server's, with a Desync recorded."""
        local_hash = frames.state_hash(self.hash_key, state)
        if local_hash == server_hash:
            return state
        findings: tuple = ()
        server = None
        with contextlib.suppress(LookupError, TimeoutError, websockets.ConnectionClosed):
            server = await self.server_state(number)
            findings = tuple(forensics.diff_states(json.loads(state), server))
        self.desyncs.append(Desync(number, local_hash, server_hash, findings))
        return jsontext.dumps(server) if server is not None else state


def _room_at(address: str, url: str) -> str:
    """The room of `url` on the process at `address` (http://host:port or https://...)."""
    owner = urlsplit(address)
    scheme = "wss" if owner.scheme == "https" else "ws"
    return urlunsplit((scheme, owner.netloc, urlsplit(url).path, "", ""))
