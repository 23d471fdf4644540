"""A room: one world ticked in real time. Frames run on a fixed-rate clock with the commands taken
since the last frame; each frame's message is written once and queued on every connection; frame
events reach the world's chain in groups behind the frames.

Everything here runs on the event loop except the tick and the hash, which go to a worker thread
together; the room's fields change only on the loop, so they need no lock.
"""

import asyncio
import logging
import secrets
from collections import defaultdict

from kest import frames, jsontext
from kest.server.errors import NotFound
from kest.server.rooms import protocol
from kest.server.rooms.connection import Connection
from kest.server.rooms.history import RecentFrames, TakenSeqs
from kest.server.rooms.host import PLAYER, FrameGroup, RoomHost, RoomWorld
from kest.server.rooms.protocol import Ack, Command, Refusal, StateRequest
from kest.server.rooms.settings import RoomSettings
from kest.server.rooms.stats import RoomStats
from kest.server.store import NotOwner

_log = logging.getLogger("kest.server.rooms")


class Room:
    """`on_done(room)` is run as a task once the room has nothing more to do: nobody has been connected
    for its grace window, or its world is no longer its own (`lose`)."""

    def __init__(self, world: RoomWorld, host: RoomHost, settings: RoomSettings, on_done):
        self.world_id = world.world_id
        self.settings = settings
        self.stats = RoomStats()
        self.frame = self.committed_frame = world.frame
        self.state = world.state
        # Sent to every client that joins: the keyed hash lets clients compare states without the
        # server key, which never leaves the server.
        self.hash_key = secrets.token_hex(32)
        self._host = host
        self._on_done = on_done
        self._done_reported: asyncio.Task | None = None
        self._farewell: tuple[int, str] | None = None  # why the clients go, once the world is lost
        self._ruleset = world.ruleset
        self._actions = world.action_ids
        self._entities = world.entity_ids
        self._player_entities: dict[str, str] = {}
        self._rules = self._frame_rules()
        self._recent = RecentFrames(settings.frames_kept, settings.states_kept)
        self._taken: defaultdict[str, TakenSeqs] = defaultdict(TakenSeqs)
        for player, seqs in world.taken_seqs.items():
            for seq in seqs:
                self._taken[player].take(seq)
        self._intake: list[dict] = []
        self._connections: dict[str, Connection] = {}
        self._uncommitted: list[tuple[str, str]] = []  # (commands, event) of each frame not yet committed
        self._uncommitted_since: float | None = None
        self._empty_since: float | None = None
        self._stopping = asyncio.Event()
        self._ticker: asyncio.Task | None = None
        self._committer: asyncio.Task | None = None

    def start(self) -> None:
        loop = asyncio.get_running_loop()
        self._empty_since = loop.time()
        self._ticker = loop.create_task(self._tick_forever())
        self._committer = loop.create_task(self._commit_forever())

    async def close(self) -> None:
        """Stop ticking, let the clients go and commit every frame ticked, unless the world was lost:
        nothing more of the room may be written then."""
        self._stopping.set()
        await asyncio.gather(self._ticker, self._committer, return_exceptions=True)
        code, reason = self._farewell or (protocol.CLOSE_ROOM_CLOSED, "the room closed")
        for connection in self._connections.values():
            connection.close(code, reason)
        self._connections.clear()
        if self._farewell is None:
            await self._commit()
        await self._host.release_world(self.world_id)

    def lose(self, code: int, reason: str) -> None:
        """The world is no longer the room's to write (deleted, or owned by another process now): the
        room stops ticking, drops the frames not committed and, once closed, tells its clients `code`
        and `reason`."""
        if self._farewell is not None:
            return
        _log.warning("room %s closes at frame %d: %s (%d)", self.world_id, self.frame, reason, code)
        self._farewell = (code, reason)
        self._uncommitted = []
        self._stopping.set()
        self._report_done()

    @property
    def done(self) -> bool:
        """Nothing more to do: the world lost, or nobody connected for the grace window."""
        return self._farewell is not None or self.idle

    def _report_done(self) -> None:
        if self._done_reported is None:
            self._done_reported = asyncio.get_running_loop().create_task(self._on_done(self))

    # -- connections ------------------------------------------------------------------------

    def join(self, connection: Connection, last_frame: int | None) -> None:
        principal = connection.principal
        previous = self._connections.pop(principal.key, None)
        if previous is not None:
            previous.close(protocol.CLOSE_REPLACED, "replaced by a newer connection with the same token")
        player_id = None
        if principal.role == PLAYER:
            player_id = principal.entity_id
            if player_id not in self._player_entities:
                self._player_entities[player_id] = player_id
                self._rules = self._frame_rules()
        missed = None
        if last_frame is not None and last_frame <= self.frame:
            missed = self._recent.messages_after(last_frame)
        # A client past the room's frame had frames a crash took back: it starts again from the state.
        start_frame = self.frame if missed is None else last_frame
        fields = {
            "worldId": self.world_id,
            "role": principal.role,
            "playerId": player_id,
            "hashKey": self.hash_key,
            "rate": self.settings.rate,
            "maxCommandsPerPlayer": self.settings.max_commands_per_player,
            "maxCommands": self.settings.max_commands,
            "playerEntities": self._player_entities,
            "frame": start_frame,
        }
        state = self.state if missed is None else None
        connection.send(protocol.welcome_message(fields, state, self._ruleset, missed or []))
        connection.acknowledge(start_frame)
        self._connections[principal.key] = connection
        self._empty_since = None
        self._done_reported = None

    def leave(self, connection: Connection) -> None:
        if self._connections.get(connection.principal.key) is connection:
            del self._connections[connection.principal.key]
        if not self._connections:
            self._empty_since = asyncio.get_running_loop().time()

    def reconfigure(self, settings: RoomSettings) -> None:
        """Take a game master's new rate and caps: the caps from the next frame on (each frame
        message carries the caps it was ticked with), the rate from the next deadline."""
        self.settings = settings
        self._rules = self._frame_rules()

    def holds_entity(self, entity_id: str | None) -> bool:
        return entity_id in self._entities

    def report(self) -> dict:
        return {
            "frame": self.frame,
            "committedFrame": self.committed_frame,
            "connections": len(self._connections),
            **self.settings.world_members(),
            **self.stats.report(),
        }

    def receive(self, connection: Connection, message: dict) -> None:
        """Handle one message after the join; Refusal is answered on that connection."""
        request = protocol.read_request(message, self._actions, self._entities)
        if isinstance(request, Ack):
            connection.acknowledge(min(request.frame, self.frame))
        elif isinstance(request, StateRequest):
            state = self._recent.state_of(request.frame)
            if state is None:
                raise Refusal("state_not_kept", f"the state of frame {request.frame} is no longer kept")
            connection.send(protocol.state_message(request.frame, state))
        else:
            self._take(connection, request)

    def _take(self, connection: Connection, command: Command) -> None:
        principal = connection.principal
        if principal.role != PLAYER:
            raise Refusal("not_a_player", "only a player's token may send commands", command.seq)
        if not self._taken[principal.entity_id].take(command.seq):
            raise Refusal("seq_taken", f"seq {command.seq} was already taken", command.seq)
        entry = {"actionId": command.action_id, "playerId": principal.entity_id, "seq": command.seq}
        if command.target_id is not None:
            entry["targetId"] = command.target_id
        self._intake.append(entry)

    # -- frames -----------------------------------------------------------------------------

    def _frame_rules(self) -> frames.FrameRules:
        settings = self.settings
        return frames.FrameRules(
            self.world_id,
            self._ruleset,
            jsontext.dumps(self._player_entities),
            settings.max_commands_per_player,
            settings.max_commands,
        )

    async def _tick_forever(self) -> None:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.settings.period
        while not self._stopping.is_set():
            period = self.settings.period  # a game master may change the rate while the room runs
            delay = deadline - loop.time()
            if delay > 0:
                await asyncio.sleep(delay)
            started = loop.time()
            self.stats.lateness.append(started - deadline)
            await self._run_frame()
            took = loop.time() - started
            if took > period:
                self.stats.overruns += 1
                _log.warning("room %s: frame %d took %.1f ms, over its period", self.world_id, self.frame, took * 1e3)
            # Deadlines are counted from the start, so a late frame does not push every later one back;
            # a clock a whole period behind starts its schedule again rather than tick in a burst.
            deadline += period
            if loop.time() > deadline + period:
                self.stats.rebased += 1
                deadline = loop.time()
            if self.idle:
                self._report_done()

    @property
    def idle(self) -> bool:
        """Nobody has been connected for the grace window."""
        since = self._empty_since
        return since is not None and asyncio.get_running_loop().time() - since > self.settings.grace_seconds

    def _tick(self, rules: frames.FrameRules, frame: int, state: str, commands: str) -> tuple[str, str, str]:
        event, state = frames.tick(rules, frame, state, commands)
        return event, state, frames.state_hash(self.hash_key, state)

    async def _run_frame(self) -> None:
        commands, self._intake = self._intake, []
        commands_text = jsontext.dumps(commands)
        rules, frame = self._rules, self.frame + 1
        event, state, state_hash = await asyncio.to_thread(self._tick, rules, frame, self.state, commands_text)
        self.state, self.frame = state, frame
        self.stats.frames += 1
        message = protocol.frame_message(frame, commands_text, event, state_hash, rules.frame_members())
        self._recent.add(frame, message, state)
        if not self._uncommitted:
            self._uncommitted_since = asyncio.get_running_loop().time()
        self._uncommitted.append((commands_text, event))
        self._broadcast(message)

    def _broadcast(self, message: str) -> None:
        now = asyncio.get_running_loop().time()
        for connection in list(self._connections.values()):
            silent_for = now - connection.last_ack_at
            if connection.closed:
                self.leave(connection)
            elif connection.queued >= self.settings.max_queued or silent_for > self.settings.ack_timeout:
                self.stats.stalled_cut += 1
                connection.close(protocol.CLOSE_STALLED, "too far behind: frames unacknowledged or unsent")
                self.leave(connection)
            else:
                connection.send(message)

    # -- commits ----------------------------------------------------------------------------

    async def _commit_forever(self) -> None:
        while not self._stopping.is_set():
            try:
                await asyncio.wait_for(self._stopping.wait(), self.settings.commit_interval)
            except TimeoutError:
                await self._commit()

    async def _commit(self) -> None:
        if not self._uncommitted:
            return
        frames_ticked, since = self._uncommitted, self._uncommitted_since
        commands, events = zip(*frames_ticked, strict=True)
        group = FrameGroup(self.committed_frame + 1, self.frame, commands, events, self.state)
        self._uncommitted = []
        try:
            await self._host.append_frames(self.world_id, group)
        except NotOwner as lost:
            self.lose(*protocol.moved(lost.address))
            return
        except NotFound:
            self.lose(protocol.CLOSE_UNKNOWN_WORLD, "the world was deleted")
            return
        except Exception:
            _log.exception("room %s: frames %d to %d not committed", self.world_id, group.first_frame, group.last_frame)
            self.stats.commit_failures += 1
            self._uncommitted = frames_ticked + self._uncommitted
            self._uncommitted_since = since
            return
        self.committed_frame = group.last_frame
        self.stats.commit_groups += 1
        self.stats.commit_lag.append(asyncio.get_running_loop().time() - since)
