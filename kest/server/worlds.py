"""The world service: everything the host does to a world, for the API, the clock and the
commands alike. Synchronous and thread-safe; call it from worker threads, never the event loop.

- `create(world_id, state, ruleset, settings)`: vets and stores a new world with its genesis.
- `view(world_id)`: the world as a JSON text (resumed first when suspended).
- `proposal_job(world_id, facts, entity_id, body)`: checks a proposal and gives the write job that files it;
  the job returns {"epoch", "entityId", "status"} and raises Conflict for a resolved epoch.
- `advance(world_id)`: ticks the epochs the clock says are due, at most maxCatchup of them.
- `configure(world_id, changes)`: new settings, vetted as at creation, from the next tick on.
- `suspend(world_id)`, `resume(world_id)`: to a bundle and back, catching up what was missed.
- `export(world_id, before)`, `archive(world_id)`: the chain's files, and pruning what they hold.
- `verify(world_id)`: checks the stored chain from its genesis; its views then carry the result.
- `delete(world_id)`: removes the world and everything stored of it in one transaction.

Each tick is atomic: it is computed from the stored head (state text, proposals, standing
orders), then stored with its record, its input and the new head in one savepoint, which checks
that the head and the proposals are still those it was computed from.

The service keeps the row of each live world it last read or wrote: a big world's state is then
not read back from the database at every tick and every view, only when the world's small head
row says that something (this process or another) has changed it since.
"""

import dataclasses
import functools
import logging
import threading
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from functools import partial

import kest_engine_native as k
from kest import chain, jsontext, world
from kest.frames import split_tick_output
from kest.server import ledger
from kest.server.errors import BadInput, Conflict, NotFound
from kest.server.settings import Settings, parse_proposal, parse_settings, stored_settings
from kest.server.store import NotOwner, ProposalRow, RecordRow, SnapshotRow, Stale, Store, WorldHead, WorldRow
from kest.server.vetting import check_id, vet_ruleset, vet_state
from kest.server.writer import GroupWriter

log = logging.getLogger("kest.server")
STALE_RETRIES = 3
PROPOSAL_HORIZON = 1000  # how many epochs ahead a proposal may be filed
RECORD_PAGE = 1000
CONFIGURABLE = frozenset({"epochSeconds", "maxCatchup", "actorTags", "maxActions", "standingOrders", "room"})


@dataclass(frozen=True)
class Facts:
    """What checking a proposal needs, kept in memory: the world's action ids and entity ids as of
    record `seen_seq`. Entities only grow (a mutation may create one, none removes one), so facts
    behind the head are only brought up to date when a request names an entity they lack."""

    actions: frozenset
    entities: frozenset
    seen_seq: int


@dataclass(frozen=True)
class PreparedTick:
    row: WorldRow
    record: RecordRow
    proposals: str
    event: str


@functools.lru_cache(maxsize=1024)
def _action_ids_text(ruleset: str) -> str:
    """The ruleset's action ids as a JSON array, parsed once per ruleset text: every view and every
    live update shows them."""
    return jsontext.dumps(sorted(jsontext.loads(ruleset)))


def proposals_object(orders: dict, filed: Iterable[ProposalRow]) -> str:
    """The proposals of one epoch as text: standing orders, replaced by what was filed."""
    merged = dict(orders)
    merged.update((row.entity_id, row.proposal) for row in filed)
    return "{" + ",".join(jsontext.dumps(entity) + ":" + merged[entity] for entity in sorted(merged)) + "}"


def _target_of(order) -> str | None:
    return order.get("targetId") if isinstance(order, dict) else None


def _head_of(row: WorldRow) -> WorldHead:
    return WorldHead(row.epoch, row.head_seq, row.status, row.filed, row.head_sig)


def _store_settings(world: WorldRow, expected_filed: int, writes) -> None:
    writes.configure(world.world_id, expected_filed, world.settings, world.created_at, world.next_epoch_at)


class WorldService:
    def __init__(self, store: Store, writer: GroupWriter, key: str, defaults: Settings, clock: Callable = time.time):
        self.store = store
        self.writer = writer
        self._key = key
        self._key_bytes = key.encode()
        self.defaults = defaults
        self.clock = clock
        self._facts: dict[str, Facts] = {}
        self._rows: dict[str, WorldRow] = {}  # live worlds' rows as last read or written here
        self._facts_lock = threading.Lock()
        self.faults: dict[str, str] = {}
        self.verifications: dict[str, dict] = {}  # world id -> its last verification, as views show it
        self._held: set[str] = set()  # worlds a real-time room plays: the clock leaves them alone
        # Told the id of every world a commit changed (a tick, a suspension, a resumption); the
        # app points it at the live feed. Called on the committing thread.
        self.changed: Callable[[str], None] = lambda world_id: None

    # Reading.
    def row(self, world_id: str) -> WorldRow:
        row = self._current_row(self.store.reads(), world_id)
        if row is None:
            raise NotFound(f'no world "{world_id}"')
        return row

    def _current_row(self, reads, world_id: str) -> WorldRow | None:
        """The world's row: the one kept here when the stored head says it is still current."""
        return self._row_at(reads, world_id, reads.head(world_id))

    def _row_at(self, reads, world_id: str, head: WorldHead | None) -> WorldRow | None:
        """The world's row as of `head` (just read): the kept one when it is that head's, else read."""
        with self._facts_lock:
            kept = self._rows.get(world_id)
        if head is None:
            self._forget_row(world_id)
            return None
        if kept is not None and head == _head_of(kept):
            return kept
        row = reads.world(world_id)
        if row is not None:
            self._keep_row(row)
        return row

    def _keep_row(self, row: WorldRow) -> None:
        # A world without records is not kept: one deleted and made again under its id would
        # show the same head. A suspended world's row holds no state worth keeping.
        if row.head_seq < 0 or row.status != "live":
            self._forget_row(row.world_id)
            return
        with self._facts_lock:
            kept = self._rows.get(row.world_id)
            if kept is None or kept.head_seq <= row.head_seq:
                self._rows[row.world_id] = row

    def _forget_row(self, world_id: str) -> None:
        with self._facts_lock:
            self._rows.pop(world_id, None)

    def live_row(self, world_id: str) -> WorldRow:
        row = self.row(world_id)
        return row if row.status == "live" else self.resume(world_id)

    def view(self, world_id: str, resume: bool = True) -> str:
        """The world as its readers see it; reading resumes a suspended world unless `resume` is
        False (a live stream watches a suspension without undoing it: its state is then null)."""
        row = self.live_row(world_id) if resume else self.row(world_id)
        settings = stored_settings(row.settings)
        fault = self.faults.get(world_id)
        actions = _action_ids_text(row.ruleset)
        return (
            f'{{"actions":{actions},"epoch":{row.epoch},"epochSeconds":{jsontext.dumps(settings.epoch_seconds)},'
            f'"frame":{row.frame},'
            f'"headSeq":{row.head_seq},"headSig":"{row.head_sig}","lastFault":{jsontext.dumps(fault)},'
            f'"maxCatchup":{settings.max_catchup},"nextEpochAt":{jsontext.dumps(row.next_epoch_at)},'
            f'"state":{row.state or "null"},"stateHash":"{row.state_hash}","status":"{row.status}",'
            f'"verification":{jsontext.dumps(self.verifications.get(world_id))},'
            f'"worldId":{jsontext.dumps(row.world_id)}}}'
        )

    def summary(self, world_id: str) -> dict:
        row = self.row(world_id)
        return {"worldId": world_id, "epoch": row.epoch, "headSeq": row.head_seq, "status": row.status}

    def records_text(self, world_id: str, since: int, limit: int) -> str:
        """A page of records after seq `since`; each epoch record carries the proposals its tick
        resolved as "proposals" (entity id -> {actionId, targetId?}), which its event leaves out."""
        self.row(world_id)
        reads = self.store.reads()
        records = reads.records(world_id, since, limit)
        last = records[-1].seq if records else since
        epochs = {record.seq: ledger.epoch_of(record) for record in records if record.type == ledger.EPOCH_RECORD}
        inputs = reads.tick_inputs(world_id, min(epochs.values()), max(epochs.values())) if epochs else {}
        body = ",".join(ledger.record_text(record, inputs.get(epochs.get(record.seq))) for record in records)
        return f'{{"next":{last},"records":[{body}]}}'

    # Creating.
    def create(self, world_id: str | None, state=None, ruleset=None, settings=None) -> WorldRow:
        default_id, default_state = world.default_world()
        defaults = self.defaults
        if state is None:
            state = default_state
            defaults = dataclasses.replace(
                defaults, standing_orders={e: jsontext.dumps(o) for e, o in world.default_orders().items()}
            )
        if ruleset is None:
            ruleset = world.default_ruleset()
        world_id = check_id("worldId", world_id if world_id is not None else default_id)
        if "/" in world_id:
            raise BadInput("worldId must not hold a /")
        state_hash = vet_state(self._key, state)
        vet_ruleset(ruleset)
        parsed = parse_settings(settings, defaults, state["entities"].keys(), ruleset.keys())
        state_text = jsontext.dumps(state)
        epoch = state.get("epoch") if isinstance(state.get("epoch"), int) else 0
        now = self.clock()
        # The clock starts so that the state's own epoch is the one resolved last.
        origin = now - epoch * parsed.epoch_seconds
        genesis = ledger.genesis(world_id)
        row = WorldRow(
            world_id=world_id,
            ruleset=jsontext.dumps(ruleset),
            settings=parsed.text(),
            state=state_text,
            state_hash=state_hash,
            epoch=epoch,
            frame=state.get("frame") if isinstance(state.get("frame"), int) else 0,
            head_seq=-1,
            head_sig=genesis,
            genesis=genesis,
            filed=0,
            status="live",
            next_epoch_at=origin + (epoch + 1) * parsed.epoch_seconds,
            last_used_at=now,
            created_at=origin,
        )

        def insert(writes):
            if writes.head(world_id) is not None:
                raise Conflict(f'a world "{world_id}" already exists')
            writes.insert_world(row, SnapshotRow(0, state_text, state_hash))

        self.writer.run(insert)
        return row

    def configure(self, world_id: str, changes) -> WorldRow:
        """Changes the world's settings (members left out keep their values; a standing order
        given as null is withdrawn) from its next tick on. A new epoch period keeps the epochs
        already due and times the later ones from now."""
        if not isinstance(changes, dict):
            raise BadInput("the settings are an object")
        unknown = sorted(set(changes) - CONFIGURABLE)
        if unknown:
            raise BadInput(f'"{unknown[0]}" is not a setting; the settings are {", ".join(sorted(CONFIGURABLE))}')
        for _ in range(STALE_RETRIES):
            row = self.live_row(world_id)
            current = stored_settings(row.settings)
            orders = changes.get("standingOrders")
            if isinstance(orders, dict):
                merged = {entity: jsontext.loads(text) for entity, text in current.standing_orders.items()}
                merged.update(orders)
                orders = {entity: order for entity, order in merged.items() if order is not None}
                named = [name for entity, order in orders.items() for name in (entity, _target_of(order))]
            else:
                named = []
            facts = self.facts(world_id, named)
            settings = parse_settings({**changes, "standingOrders": orders}, current, facts.entities, facts.actions)
            now = self.clock()
            due = max(row.epoch, self.clock_epoch(row, current, now))
            origin = row.created_at
            if settings.epoch_seconds != current.epoch_seconds:
                origin = now - due * settings.epoch_seconds
            configured = dataclasses.replace(
                row,
                settings=settings.text(),
                created_at=origin,
                next_epoch_at=origin + (row.epoch + 1) * settings.epoch_seconds,
                filed=row.filed + 1,
            )
            job = partial(_store_settings, configured, row.filed)
            try:
                self.writer.run(job)
            except Stale:
                continue
            self._keep_row(configured)
            return configured
        raise Conflict(f'world "{world_id}" is changing too fast to configure; try again')

    # Proposals.
    def known_facts(self, world_id: str, naming: Iterable = ()) -> Facts | None:
        """The facts kept of the world if they know every id `naming`; never touches the store, so
        the event loop may call it."""
        with self._facts_lock:
            known = self._facts.get(world_id)
        if known is not None and all(name in known.entities for name in naming if isinstance(name, str)):
            return known
        return None

    def facts(self, world_id: str, naming: Iterable = ()) -> Facts:
        """The world's facts; brought up to its head first when they lack one of the ids `naming`
        (a tick may have created that entity since)."""
        known = self.known_facts(world_id, naming)
        if known is not None:
            return known
        with self._facts_lock:
            known = self._facts.get(world_id)
        row = self.live_row(world_id)
        if known is not None and known.seen_seq == row.head_seq:
            return known
        state = jsontext.loads(row.state)
        facts = Facts(frozenset(jsontext.loads(row.ruleset)), frozenset(state["entities"]), row.head_seq)
        with self._facts_lock:
            self._facts[world_id] = facts
        return facts

    def proposal_job(self, world_id: str, facts: Facts, entity_id, body) -> Callable:
        """Checks a proposal for `entity_id` and returns the write job that files it."""
        if not isinstance(body, dict):
            raise BadInput("a proposal is a JSON object")
        check_id("entityId", entity_id)
        if entity_id not in facts.entities:
            raise BadInput(f'entityId "{entity_id}" is not an entity of this world')
        proposal = parse_proposal(body, facts.entities, facts.actions)
        client_id = check_id("clientId", body.get("clientId"))
        epoch = body.get("epoch")
        if epoch is not None and (isinstance(epoch, bool) or not isinstance(epoch, int) or abs(epoch) > 2**53 - 1):
            raise BadInput("epoch must be a JS-safe integer")
        now = self.clock()

        def file(writes) -> dict:
            head = writes.head(world_id)
            if head is None:
                raise NotFound(f'no world "{world_id}"')
            target = head.epoch + 1 if epoch is None else epoch
            if target <= head.epoch:
                raise Conflict(f"epoch {target} is already resolved (the world is at epoch {head.epoch})")
            if target > head.epoch + PROPOSAL_HORIZON:
                raise BadInput(f"epoch {target} is more than {PROPOSAL_HORIZON} epochs ahead of the world")
            status = writes.file_proposal(world_id, ProposalRow(target, entity_id, client_id, proposal), now)
            return {"epoch": target, "entityId": entity_id, "status": status, "worldStatus": head.status}

        return file

    # Ticking.
    def clock_epoch(self, row: WorldRow, settings: Settings, now: float) -> int:
        return int((now - row.created_at) // settings.epoch_seconds)

    def _tick_input(self, row: WorldRow, settings: Settings, epoch: int, proposals: str) -> str:
        return (
            "{" + settings.engine_options() + f'"epochNumber":{epoch},"proposals":{proposals},'
            f'"ruleset":{row.ruleset},"state":{row.state},"worldId":{jsontext.dumps(row.world_id)}}}'
        )

    def _prepare(self, row: WorldRow, settings: Settings, proposals: str) -> PreparedTick:
        """The tick of the world's next epoch; ValueError when its event cannot be signed or its
        state hashed."""
        epoch = row.epoch + 1
        output = k.tick_epoch(self._tick_input(row, settings, epoch, proposals))
        event, state = split_tick_output(output)
        record = ledger.sign(self._key_bytes, row.head_seq + 1, ledger.EPOCH_RECORD, event, row.head_sig)
        state_hash = k.world_state_hash(self._key, state)
        new_row = dataclasses.replace(
            row,
            state=state,
            state_hash=state_hash,
            epoch=epoch,
            head_seq=record.seq,
            head_sig=record.sig,
            next_epoch_at=row.created_at + (epoch + 1) * settings.epoch_seconds,
        )
        return PreparedTick(new_row, record, proposals, event)

    def _prepare_or_fallback(self, row: WorldRow, settings: Settings, filed: list[ProposalRow]) -> PreparedTick | None:
        proposals = proposals_object(settings.standing_orders, filed)
        try:
            return self._prepare(row, settings, proposals)
        except ValueError as refusal:
            # Refused as a whole: the epoch runs again without its proposals, so the world keeps
            # going; when even that fails, it keeps its last good state and tries at the next pass.
            message = f"epoch {row.epoch + 1} refused: {refusal}"
            log.warning("world %s: %s", row.world_id, message)
            self.faults[row.world_id] = message
        try:
            return self._prepare(row, settings, "{}")
        except ValueError as refusal:
            log.warning("world %s: epoch %d refused without proposals too: %s", row.world_id, row.epoch + 1, refusal)
            return None

    def _commit_tick(self, world_id: str, attempt: int, now: bool) -> PreparedTick | None:
        """One tick of the world's next epoch, if due (or `now`: the game master's tick ahead of
        the clock). None when not due or refused."""
        reads = self.store.reads()
        if attempt < STALE_RETRIES:
            head, filed = reads.head_and_next_proposals(world_id) or (None, [])
            row = self._row_at(reads, world_id, head)
            if row is None or row.status != "live":
                return None
            settings = stored_settings(row.settings)
            if not now and row.epoch >= self.clock_epoch(row, settings, self.clock()):
                return None
            if _head_of(row) != head:  # the row was read after the head had moved: its proposals may differ
                filed = reads.proposals(world_id, row.epoch + 1, row.epoch + 1)
            prepared = self._prepare_or_fallback(row, settings, filed)
            if prepared is None:
                return None

            def store_tick(writes):
                if self.held(world_id):
                    return None
                writes.append(
                    prepared.row, row.head_seq, row.filed, [prepared.record], [(row.epoch + 1, prepared.proposals)]
                )
                return prepared

            return self.writer.run(store_tick)

        # Proposals keep arriving: compute the tick inside the write, where nothing can come between.
        def tick_inside(writes):
            row = writes.world(world_id)
            if row is None or row.status != "live" or self.held(world_id):
                return None
            settings = stored_settings(row.settings)
            if not now and row.epoch >= self.clock_epoch(row, settings, self.clock()):
                return None
            prepared = self._prepare_or_fallback(
                row, settings, writes.proposals(world_id, row.epoch + 1, row.epoch + 1)
            )
            if prepared is not None:
                writes.append(
                    prepared.row, row.head_seq, None, [prepared.record], [(row.epoch + 1, prepared.proposals)]
                )
            return prepared

        return self.writer.run(tick_inside)

    def tick(self, world_id: str, now: bool = False) -> PreparedTick | None:
        for attempt in range(STALE_RETRIES + 1):
            try:
                prepared = self._commit_tick(world_id, attempt, now)
            except NotOwner as lost:
                # Another process took the world over (this one was paused or cut off past its lease).
                log.warning("world %s: append refused: %s", world_id, lost)
                return None
            except Stale:
                continue
            if prepared is not None:
                self._keep_row(prepared.row)
                self.changed(world_id)
            return prepared
        return None

    def advance(self, world_id: str) -> int:
        """Ticks the world's due epochs, at most its maxCatchup in this pass; returns how many."""
        if self.held(world_id):
            return 0
        # Each tick reads the world anew; its row's settings bound the pass, and its epoch says whether
        # another is due, so that a pass costs the store no read beyond its ticks' own.
        ticked, limit = 0, 1
        while ticked < limit and (prepared := self.tick(world_id)) is not None:
            ticked += 1
            settings = stored_settings(prepared.row.settings)
            limit = max(1, settings.max_catchup)
            if prepared.row.epoch >= self.clock_epoch(prepared.row, settings, self.clock()):
                break
        return ticked

    # Suspending and resuming.
    def suspend(self, world_id: str) -> bool:
        """Suspends a live world into its bundle; False when it was not live."""
        for _ in range(STALE_RETRIES):
            row = self.row(world_id)
            if row.status != "live" or self.held(world_id):
                return False
            try:
                self._suspend(row)
                self.changed(world_id)
                return True
            except NotOwner:
                raise  # the owner's to suspend
            except Stale:
                continue
        return False

    def _suspend(self, row: WorldRow) -> None:
        event_index = row.head_seq + 1
        bundle = ledger.bundle_text(self._key, row.world_id, row.state, row.state_hash, event_index, row.head_sig)
        snapshot = SnapshotRow(event_index, row.state, row.state_hash)
        now = self.clock()
        self.writer.run(lambda writes: writes.suspend(row.world_id, row.head_seq, bundle, snapshot, now))
        self._forget_row(row.world_id)

    def resume(self, world_id: str) -> WorldRow:
        """Makes a suspended world live: `resume_session` verifies its bundle and catches up the
        missed epochs (at most maxCatchup) with the proposals filed for them and the standing orders."""
        for _ in range(STALE_RETRIES):
            row = self.row(world_id)
            if row.status == "live":
                return row
            try:
                resumed = self._resume(row)
                self.changed(world_id)
                return resumed
            except NotOwner:
                raise  # another process resumed it meanwhile and owns it
            except Stale:
                continue
        raise Conflict(f'world "{world_id}" is changing too fast to resume; try again')

    def _resume(self, row: WorldRow) -> WorldRow:
        reads = self.store.reads()
        settings = stored_settings(row.settings)
        bundle = reads.bundle(row.world_id)
        current = max(row.epoch, self.clock_epoch(row, settings, self.clock()))
        last = min(current, row.epoch + settings.max_catchup)
        filed: dict[int, list[ProposalRow]] = {}
        for proposal in reads.proposals(row.world_id, row.epoch + 1, last):
            filed.setdefault(proposal.epoch, []).append(proposal)
        by_epoch = {
            epoch: proposals_object(settings.standing_orders, filed.get(epoch, ()))
            for epoch in range(row.epoch + 1, last + 1)
        }
        by_epoch_text = "{" + ",".join(f'"{epoch}":{text}' for epoch, text in by_epoch.items()) + "}"
        document = (
            "{" + settings.engine_options() + f'"bundle":{bundle},"currentEpoch":{current},'
            f'"expectedWorldId":{jsontext.dumps(row.world_id)},"key":"{self._key}",'
            f'"maxCatchup":{settings.max_catchup},"proposalsByEpoch":{by_epoch_text},"ruleset":{row.ruleset}}}'
        )
        output = jsontext.loads(k.resume_session(document))
        records, inputs, prev = [], [], row.head_sig
        for seq, event in enumerate(output["newEvents"], start=row.head_seq + 1):
            record = ledger.sign(self._key_bytes, seq, ledger.EPOCH_RECORD, jsontext.dumps(event), prev)
            records.append(record)
            inputs.append((event["epoch_number"], by_epoch[event["epoch_number"]]))
            prev = record.sig
        state = jsontext.dumps(output["state"])
        epoch = row.epoch + output["epochsResolved"]
        resumed = dataclasses.replace(
            row,
            state=state,
            state_hash=k.world_state_hash(self._key, state),
            epoch=epoch,
            head_seq=row.head_seq + len(records),
            head_sig=prev,
            status="live",
            next_epoch_at=row.created_at + (epoch + 1) * settings.epoch_seconds,
            last_used_at=self.clock(),
        )
        self.writer.run(lambda writes: writes.release_bundle(resumed, row.filed, records, inputs))
        with self._facts_lock:
            self._facts.pop(row.world_id, None)
        self._keep_row(resumed)
        return resumed

    def bundle(self, world_id: str) -> str:
        """The world's bundle: the stored one while suspended, else one made now from its head."""
        row = self.row(world_id)
        if row.status != "live":
            return self.store.reads().bundle(world_id)
        return ledger.bundle_text(self._key, world_id, row.state, row.state_hash, row.head_seq + 1, row.head_sig)

    # Real-time rooms.
    def held(self, world_id: str) -> bool:
        with self._facts_lock:
            return world_id in self._held

    def hold(self, world_id: str) -> WorldRow:
        """Takes a world for a real-time room: until `release`, the clock ticks no epoch of it and
        does not suspend it. Returns its live row, read through the writer so that a tick
        computed before the hold is either stored before that read or refused. With several
        processes on one database the room's process must own the world: it takes the world's lease
        when nobody holds it, and raises NotOwner when another process does."""
        self.live_row(world_id)
        with self._facts_lock:
            self._held.add(world_id)

        def own(writes) -> WorldRow:
            writes.own(world_id)
            row = writes.world(world_id)
            if row is None:
                raise NotFound(f'no world "{world_id}"')
            return row

        try:
            return self.writer.run(own)
        except BaseException:
            self.release(world_id)
            raise

    def release(self, world_id: str) -> None:
        with self._facts_lock:
            self._held.discard(world_id)

    def append_frames(self, world_id: str, payload: str, state: str, frame: int) -> RecordRow:
        """Signs a group of frames (a "FramesResolved" payload) after the world's head and stores
        the state after its last frame, atomically; returns once committed."""
        state_hash = k.world_state_hash(self._key, state)

        def store_frames(writes):
            row = writes.world(world_id)
            if row is None:
                raise NotFound(f'no world "{world_id}"')
            record = ledger.sign(self._key_bytes, row.head_seq + 1, ledger.FRAMES_RECORD, payload, row.head_sig)
            changed = dataclasses.replace(
                row, state=state, state_hash=state_hash, frame=frame, head_seq=record.seq, head_sig=record.sig
            )
            writes.append(changed, row.head_seq, None, [record], [])
            return record

        record = self.writer.run(store_frames)
        self.changed(world_id)
        return record

    # History.
    def stored_records(self, world_id: str, before: int | None = None) -> list[RecordRow]:
        reads, records, since = self.store.reads(), [], -1
        while page := reads.records(world_id, since, RECORD_PAGE):
            records.extend(record for record in page if before is None or record.seq < before)
            since = page[-1].seq
            if before is not None and since >= before:
                break
        return records

    def export(self, world_id: str, before: int | None = None) -> dict:
        """The chain's files for `kest verify`: every stored record (or those before `before`)."""
        row = self.row(world_id)
        records = self.stored_records(world_id, before)
        genesis = records[0].prev_sig if records else row.head_sig
        exported = ledger.export(self._key, records, genesis)
        exported["worldGenesis"] = row.genesis
        return exported

    def archive(self, world_id: str, write: Callable[[dict], None]) -> int:
        """Hands the records before the latest snapshot to `write` (which stores them for good),
        then prunes them from the live database; returns how many were pruned."""
        snapshots = self.store.reads().snapshots(world_id)
        if not snapshots:
            raise NotFound(f'no world "{world_id}"')
        before = snapshots[-1].event_index
        write(self.export(world_id, before))
        return self.writer.run(lambda writes: writes.prune(world_id, before))

    def verify(self, world_id: str) -> dict:
        """Checks every stored record of the world's chain under the server key: each signature,
        each link from the world's genesis (or, once older records were archived, from the first
        kept one) and that the last is the world's head. The result is kept for the world's views."""
        row = self.row(world_id)
        reads, link, since, count, findings = self.store.reads(), row.genesis, -1, 0, []
        first = reads.first_seq(world_id)
        while page := reads.records(world_id, since, RECORD_PAGE):
            if since == -1 and page[0].seq != 0:
                link = page[0].prev_sig
            findings += [str(found) for found in chain.verify(self._key, [ledger.record_value(r) for r in page], link)]
            link, since, count = page[-1].sig, page[-1].seq, count + len(page)
        if link != row.head_sig or since != row.head_seq:
            findings.append(f"the stored records end at seq {since}, not at the world's head seq {row.head_seq}")
        verification = {
            "at": self.clock(),
            "ok": not findings,
            "records": count,
            "fromSeq": 0 if first is None else first,
            "headSeq": row.head_seq,
            "finding": findings[0] if findings else None,
        }
        self.verifications[world_id] = verification
        self.changed(world_id)
        return verification

    def delete(self, world_id: str) -> None:
        """Removes the world and everything stored of it in one transaction; its streams are told."""
        if not self.writer.run(lambda writes: writes.delete_world(world_id)):
            raise NotFound(f'no world "{world_id}"')
        self._forget_row(world_id)
        with self._facts_lock:
            self._facts.pop(world_id, None)
        self.faults.pop(world_id, None)
        self.verifications.pop(world_id, None)
        self.changed(world_id)

    def touch(self, world_id: str) -> None:
        self.writer.submit(lambda writes: writes.touch(world_id, self.clock()))
