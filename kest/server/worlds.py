"""The world service: everything the host does to a world, for the API, the clock and the
commands alike. Synchronous and thread-safe; call it from worker threads, never the event loop.

- `create(world_id, state, ruleset, settings)`: vets and stores a new world with its genesis.
- `view(world_id)`: the world as a JSON text (resumed first when suspended).
- `proposal_job(facts, entity_id, body)`: checks a proposal and gives the write job that files it;
  the job returns {"epoch", "entityId", "status"} and raises Conflict for a resolved epoch.
- `advance(world_id)`: ticks the epochs the clock says are due, at most maxCatchup of them.
- `suspend(world_id)`, `resume(world_id)`: to a bundle and back, catching up what was missed.
- `export(world_id, before)`, `archive(world_id)`: the chain's files, and pruning what they hold.

Each tick is atomic: it is computed from the stored head (state text, proposals, standing
orders), then stored with its record, its input and the new head in one savepoint, which checks
that the head and the proposals are still those it was computed from.
"""

import dataclasses
import logging
import threading
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass

import kest_engine_native as k
from kest import jsontext, world
from kest.server import ledger
from kest.server.errors import BadInput, Conflict, NotFound
from kest.server.settings import Settings, parse_proposal, parse_settings, stored_settings
from kest.server.store import NotOwner, ProposalRow, RecordRow, SnapshotRow, Stale, Store, WorldRow
from kest.server.vetting import check_id, vet_ruleset, vet_state
from kest.server.writer import GroupWriter

log = logging.getLogger("kest.server")
STALE_RETRIES = 3
PROPOSAL_HORIZON = 1000  # how many epochs ahead a proposal may be filed
RECORD_PAGE = 1000


@dataclass(frozen=True)
class Facts:
    """What checking a proposal needs, kept in memory: the world's action ids and entity ids (the
    latter only grow: a mutation may create an entity, none removes one) as of record `seen_seq`."""

    actions: frozenset
    entities: frozenset
    seen_seq: int


@dataclass(frozen=True)
class PreparedTick:
    row: WorldRow
    record: RecordRow
    proposals: str
    event: str


def proposals_object(orders: dict, filed: Iterable[ProposalRow]) -> str:
    """The proposals of one epoch as text: standing orders, replaced by what was filed."""
    merged = dict(orders)
    merged.update((row.entity_id, row.proposal) for row in filed)
    return "{" + ",".join(jsontext.dumps(entity) + ":" + merged[entity] for entity in sorted(merged)) + "}"


def _event_targets(event: str) -> set:
    return {
        mutation["target"]
        for action in jsontext.loads(event).get("actions_processed", [])
        for mutation in action.get("mutations_applied", [])
        if isinstance(mutation.get("target"), str)
    }


class WorldService:
    def __init__(self, store: Store, writer: GroupWriter, key: str, defaults: Settings, clock: Callable = time.time):
        self.store = store
        self.writer = writer
        self._key = key
        self._key_bytes = key.encode()
        self.defaults = defaults
        self.clock = clock
        self._facts: dict[str, Facts] = {}
        self._facts_lock = threading.Lock()
        self.faults: dict[str, str] = {}

    # Reading.
    def row(self, world_id: str) -> WorldRow:
        row = self.store.reads().world(world_id)
        if row is None:
            raise NotFound(f'no world "{world_id}"')
        return row

    def live_row(self, world_id: str) -> WorldRow:
        row = self.row(world_id)
        return row if row.status == "live" else self.resume(world_id)

    def view(self, world_id: str) -> str:
        row = self.live_row(world_id)
        settings = stored_settings(row.settings)
        fault = self.faults.get(world_id)
        return (
            f'{{"epoch":{row.epoch},"epochSeconds":{jsontext.dumps(settings.epoch_seconds)},"frame":{row.frame},'
            f'"headSeq":{row.head_seq},"headSig":"{row.head_sig}","lastFault":{jsontext.dumps(fault)},'
            f'"maxCatchup":{settings.max_catchup},"nextEpochAt":{jsontext.dumps(row.next_epoch_at)},'
            f'"state":{row.state},"stateHash":"{row.state_hash}","status":"{row.status}",'
            f'"worldId":{jsontext.dumps(row.world_id)}}}'
        )

    def summary(self, world_id: str) -> dict:
        row = self.row(world_id)
        return {"worldId": world_id, "epoch": row.epoch, "headSeq": row.head_seq, "status": row.status}

    def records_text(self, world_id: str, since: int, limit: int) -> str:
        self.row(world_id)
        records = self.store.reads().records(world_id, since, limit)
        last = records[-1].seq if records else since
        body = ",".join(ledger.record_text(record) for record in records)
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

    # Proposals.
    def facts(self, world_id: str, refresh: bool = False) -> Facts:
        with self._facts_lock:
            known = self._facts.get(world_id)
        if known is not None and not refresh:
            return known
        row = self.live_row(world_id)
        if known is not None and known.seen_seq == row.head_seq:
            return known
        state = jsontext.loads(row.state)
        facts = Facts(frozenset(jsontext.loads(row.ruleset)), frozenset(state["entities"]), row.head_seq)
        with self._facts_lock:
            self._facts[world_id] = facts
        return facts

    def _learn(self, world_id: str, seq: int, event: str) -> None:
        with self._facts_lock:
            known = self._facts.get(world_id)
            if known is not None and known.seen_seq == seq - 1:
                new = _event_targets(event) - known.entities
                entities = known.entities | new if new else known.entities
                self._facts[world_id] = Facts(known.actions, entities, seq)

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
        event, state = ledger.split_tick_output(output)
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

    def _commit_tick(self, world_id: str, attempt: int) -> PreparedTick | None:
        """One tick of the world's next epoch, if due. None when not due or refused."""
        reads = self.store.reads()
        if attempt < STALE_RETRIES:
            row = reads.world(world_id)
            if row is None or row.status != "live":
                return None
            settings = stored_settings(row.settings)
            if row.epoch >= self.clock_epoch(row, settings, self.clock()):
                return None
            prepared = self._prepare_or_fallback(row, settings, reads.proposals(world_id, row.epoch + 1, row.epoch + 1))
            if prepared is None:
                return None

            def store_tick(writes):
                writes.append(
                    prepared.row, row.head_seq, row.filed, [prepared.record], [(row.epoch + 1, prepared.proposals)]
                )
                return prepared

            return self.writer.run(store_tick)

        # Proposals keep arriving: compute the tick inside the write, where nothing can come between.
        def tick_inside(writes):
            row = writes.world(world_id)
            if row is None or row.status != "live":
                return None
            settings = stored_settings(row.settings)
            if row.epoch >= self.clock_epoch(row, settings, self.clock()):
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

    def tick(self, world_id: str) -> PreparedTick | None:
        for attempt in range(STALE_RETRIES + 1):
            try:
                prepared = self._commit_tick(world_id, attempt)
            except NotOwner as lost:
                # Another process took the world over (this one was paused or cut off past its lease).
                log.warning("world %s: append refused: %s", world_id, lost)
                return None
            except Stale:
                continue
            if prepared is not None:
                self._learn(world_id, prepared.record.seq, prepared.event)
            return prepared
        return None

    def advance(self, world_id: str) -> int:
        """Ticks the world's due epochs, at most its maxCatchup in this pass; returns how many."""
        row = self.store.reads().world(world_id)
        if row is None:
            return 0
        limit = max(1, stored_settings(row.settings).max_catchup)
        ticked = 0
        while ticked < limit and self.tick(world_id) is not None:
            ticked += 1
        return ticked

    # Suspending and resuming.
    def suspend(self, world_id: str) -> bool:
        """Suspends a live world into its bundle; False when it was not live."""
        for _ in range(STALE_RETRIES):
            row = self.row(world_id)
            if row.status != "live":
                return False
            try:
                self._suspend(row)
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

    def resume(self, world_id: str) -> WorldRow:
        """Makes a suspended world live: `resume_session` verifies its bundle and catches up the
        missed epochs (at most maxCatchup) with the proposals filed for them and the standing orders."""
        for _ in range(STALE_RETRIES):
            row = self.row(world_id)
            if row.status == "live":
                return row
            try:
                return self._resume(row)
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
        return resumed

    def bundle(self, world_id: str) -> str:
        """The world's bundle: the stored one while suspended, else one made now from its head."""
        row = self.row(world_id)
        if row.status != "live":
            return self.store.reads().bundle(world_id)
        return ledger.bundle_text(self._key, world_id, row.state, row.state_hash, row.head_seq + 1, row.head_sig)

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

    def touch(self, world_id: str) -> None:
        self.writer.submit(lambda writes: writes.touch(world_id, self.clock()))
