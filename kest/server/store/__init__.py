"""The Store: where the host keeps worlds, their signed records, proposals, tick inputs, bundles
and tokens. Every host process talks to its database through this protocol only, so a PostgreSQL
store slots in beside the SQLite one.

The protocol is synchronous and used from worker threads, never from the event loop.

- `store.reads()` gives the calling thread's view for reads (`Reads`), which sees every
  committed write.
- `store.write(jobs)` runs the jobs in ONE transaction begun as a writer (SQLite: BEGIN
  IMMEDIATE), each job inside its own savepoint: a job that raises leaves nothing and the others
  still commit. It returns one `Outcome` per job, in order, after COMMIT has returned; when the
  transaction itself fails, it raises and nothing of any job is stored.
- A job is a callable taking the transaction's `Writes` (the reads, plus the writes).

Texts (states, rulesets, payloads, proposals, bundles) are stored and returned as JSON text,
unparsed: the engine takes and gives text, and a big state is never parsed on the way.
"""

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Protocol

from kest.server.store.schema import LATEST, SchemaTooNew

__all__ = [
    "LATEST",
    "NotOwner",
    "Outcome",
    "ProposalRow",
    "Reads",
    "RecordRow",
    "SchemaTooNew",
    "Stale",
    "Store",
    "StoreError",
    "TokenRow",
    "WorldHead",
    "WorldRow",
    "Writes",
    "SnapshotRow",
    "open_store",
]


class StoreError(Exception):
    """The database cannot be used: not a database, a full disk, a schema from a newer server."""


class Stale(Exception):
    """A write computed from a world's head that has moved meanwhile (another tick, another
    process): it is dropped, and the caller computes it again from the new head if still due."""


class NotOwner(Stale):
    """A write of a world that another process owns now, or nobody (several processes on one database):
    this process must leave the world alone; its clients are sent to `address`, the owner's, when known."""

    def __init__(self, world_id: str, address: str | None):
        where = f"; its owner is reached at {address}" if address else "; no process owns it right now"
        super().__init__(f"world {world_id} is not owned by this process{where}")
        self.world_id = world_id
        self.address = address


@dataclass(slots=True)
class WorldRow:
    world_id: str
    ruleset: str
    settings: str
    state: str | None  # None while suspended
    state_hash: str
    epoch: int
    frame: int
    head_seq: int  # -1 before the first record
    head_sig: str
    genesis: str
    filed: int
    status: str  # "live" or "suspended"
    next_epoch_at: float
    last_used_at: float
    created_at: float


@dataclass(slots=True, frozen=True)
class RecordRow:
    seq: int
    type: str
    payload: str
    prev_sig: str
    sig: str


@dataclass(slots=True, frozen=True)
class ProposalRow:
    epoch: int
    entity_id: str
    client_id: str
    proposal: str


@dataclass(slots=True, frozen=True)
class TokenRow:
    token_hash: str
    role: str
    world_id: str | None
    entity_id: str | None
    expires_at: float | None


@dataclass(slots=True, frozen=True)
class SnapshotRow:
    event_index: int
    state: str
    state_hash: str


@dataclass(slots=True, frozen=True)
class Outcome:
    """What one job of a write gave: its value, or the exception that rolled it back."""

    value: Any = None
    failure: BaseException | None = None


@dataclass(slots=True, frozen=True)
class WorldHead:
    """What says whether a world's row has changed since it was last read: any write that changes
    its state or settings moves its head seq, its head signature, its status or its `filed`."""

    epoch: int
    head_seq: int
    status: str
    filed: int
    head_sig: str


class Reads(Protocol):
    def world(self, world_id: str) -> WorldRow | None: ...
    def head(self, world_id: str) -> WorldHead | None:
        """The world's resolved epoch, head and status, without its state."""
        ...

    def head_and_next_proposals(self, world_id: str) -> tuple[WorldHead, list[ProposalRow]] | None:
        """The world's head with the proposals filed for the epoch after it, read together so that they agree."""
        ...

    def world_ids(self) -> list[str]: ...
    def due_worlds(self, now: float, limit: int) -> list[str]: ...
    def idle_worlds(self, before: float, limit: int) -> list[str]: ...
    def proposals(self, world_id: str, first_epoch: int, last_epoch: int) -> list[ProposalRow]: ...
    def pending_proposals(self, world_id: str) -> list[ProposalRow]: ...
    def records(self, world_id: str, after_seq: int, limit: int) -> list[RecordRow]: ...
    def first_seq(self, world_id: str) -> int | None: ...
    def tick_input(self, world_id: str, epoch: int) -> str | None: ...
    def tick_inputs(self, world_id: str, first_epoch: int, last_epoch: int) -> dict[int, str]:
        """The stored proposals of each ticked epoch from `first_epoch` to `last_epoch`, by epoch."""
        ...

    def snapshots(self, world_id: str) -> list[SnapshotRow]: ...
    def owner_address(self, world_id: str) -> str | None:
        """Where another process that owns the world is reached; None when none does (a store of one
        process: never)."""
        ...

    def bundle(self, world_id: str) -> str | None: ...
    def token(self, token_hash: str) -> TokenRow | None: ...
    def count_tokens(self, role: str) -> int: ...


class Writes(Reads, Protocol):
    def insert_world(self, world: WorldRow, snapshot: SnapshotRow) -> None: ...
    def file_proposal(self, world_id: str, proposal: ProposalRow, now: float) -> str:
        """ "filed", "replaced" (a new client id) or "unchanged" (the same client id again)."""
        ...

    def append(
        self,
        world: WorldRow,
        expected_head_seq: int,
        expected_filed: int | None,
        records: Sequence[RecordRow],
        tick_inputs: Sequence[tuple[int, str]],
    ) -> None:
        """Stores `records` after the head, the inputs of their ticks and `world` as the new row,
        and drops the proposals of the ticked epochs. Raises Stale when the stored head seq (or,
        when given, the count of proposal writes) differs from what the records were computed from."""
        ...

    def suspend(
        self, world_id: str, expected_head_seq: int, bundle: str, snapshot: SnapshotRow, now: float
    ) -> None: ...
    def release_bundle(
        self,
        world: WorldRow,
        expected_filed: int,
        records: Sequence[RecordRow],
        tick_inputs: Sequence[tuple[int, str]],
    ) -> None:
        """Makes a suspended world live again as `world`, with the records and tick inputs of its
        catch-up, and drops its bundle. Raises Stale when it is no longer suspended or a proposal
        was filed since the catch-up was computed."""
        ...

    def configure(
        self, world_id: str, expected_filed: int, settings: str, created_at: float, next_epoch_at: float
    ) -> None:
        """Stores the world's new settings and clock (`created_at` is the clock's origin) and
        counts the change in `filed`, so that a tick computed under the old settings is stale.
        Raises Stale when `filed` differs from `expected_filed`."""
        ...

    def own(self, world_id: str) -> None:
        """Makes this process the world's owner, for a real-time room: keeps its lease, or takes it when no
        other process's is alive; raises NotOwner when one is. Nothing to do for a store of one process."""
        ...

    def touch(self, world_id: str, now: float) -> None: ...
    def prune(self, world_id: str, before_seq: int) -> int: ...
    def insert_token(self, token: TokenRow, now: float) -> None: ...
    def delete_world(self, world_id: str) -> bool:
        """Removes the world with everything stored of it (records, snapshots, proposals, tick
        inputs, bundle, the tokens naming it); False when there was no such world."""
        ...


Job = Callable[[Writes], Any]


class Store(Protocol):
    path: str

    def reads(self) -> Reads: ...
    def write(self, jobs: Sequence[Job]) -> list[Outcome]: ...
    def schema_version(self) -> int: ...
    def close(self) -> None: ...


def open_store(url: str, lease_seconds: float = 10.0, address: str = "") -> Store:
    """The store at `url`: a file path (or sqlite:///path) for SQLite, postgresql://... for PostgreSQL, shared
    by many processes: `lease_seconds` is how long this one owns a world without renewing, `address` where
    its clients reach it (a single SQLite process needs neither)."""
    if url.startswith(("postgresql://", "postgres://")):
        from kest.server.store.postgres import PostgresStore

        return PostgresStore(url, lease_seconds, address)
    from kest.server.store.sqlite import SqliteStore

    return SqliteStore(url.removeprefix("sqlite://"))
