"""The host's queries, written once in SQLite's words: the SQLite store runs them as they are, the
PostgreSQL store through its rewrite into PostgreSQL's (see postgres.py)."""

from collections.abc import Sequence

from kest.server.store import ProposalRow, RecordRow, SnapshotRow, Stale, TokenRow, WorldHead, WorldRow

_WORLD_COLUMNS = ", ".join(WorldRow.__slots__)
# Every table holding rows of one world besides `worlds` itself: a deleted world leaves none behind.
_WORLD_TABLES = ("records", "snapshots", "proposals", "tick_inputs", "bundles", "tokens", "leases")
# What an append sets of a world's row: all but its id, the count of proposal writes and the last use, which
# only requests move.
APPENDED_WORLD_COLUMNS = tuple(name for name in WorldRow.__slots__ if name not in ("world_id", "filed", "last_used_at"))


class Queries:
    """The queries of one connection: reads for every thread's view, writes inside a transaction.

    `connection` is anything with sqlite3's `execute` and `executemany`."""

    def __init__(self, connection):
        self._db = connection

    def _one(self, sql: str, *args):
        return self._db.execute(sql, args).fetchone()

    def _all(self, sql: str, *args) -> list:
        return self._db.execute(sql, args).fetchall()

    # Reads.
    def world(self, world_id: str) -> WorldRow | None:
        row = self._one(f"SELECT {_WORLD_COLUMNS} FROM worlds WHERE world_id = ?", world_id)
        return WorldRow(*row) if row else None

    def head(self, world_id: str) -> WorldHead | None:
        row = self._one("SELECT epoch, head_seq, status, filed, head_sig FROM worlds WHERE world_id = ?", world_id)
        return WorldHead(*row) if row else None

    def head_and_next_proposals(self, world_id: str) -> tuple[WorldHead, list[ProposalRow]] | None:
        # One statement, so one round trip a tick and one snapshot: the proposals are those of the head's epoch.
        sql = (
            "SELECT w.epoch, w.head_seq, w.status, w.filed, w.head_sig, p.epoch, p.entity_id, p.client_id, p.proposal"
            " FROM worlds AS w LEFT JOIN proposals AS p ON p.world_id = w.world_id AND p.epoch = w.epoch + 1"
            " WHERE w.world_id = ? ORDER BY p.entity_id"
        )
        rows = self._all(sql, world_id)
        if not rows:
            return None
        filed = [ProposalRow(*row[5:]) for row in rows if row[6] is not None]
        return WorldHead(*rows[0][:5]), filed

    def world_ids(self) -> list[str]:
        return [row[0] for row in self._all("SELECT world_id FROM worlds ORDER BY world_id")]

    def due_worlds(self, now: float, limit: int) -> list[str]:
        sql = "SELECT world_id FROM worlds WHERE status = 'live' AND next_epoch_at <= ? ORDER BY next_epoch_at LIMIT ?"
        return [row[0] for row in self._all(sql, now, limit)]

    def idle_worlds(self, before: float, limit: int) -> list[str]:
        sql = "SELECT world_id FROM worlds WHERE status = 'live' AND last_used_at < ? LIMIT ?"
        return [row[0] for row in self._all(sql, before, limit)]

    def owner_address(self, world_id: str) -> str | None:
        return None  # one process has every world

    def proposals(self, world_id: str, first_epoch: int, last_epoch: int) -> list[ProposalRow]:
        sql = (
            "SELECT epoch, entity_id, client_id, proposal FROM proposals"
            " WHERE world_id = ? AND epoch BETWEEN ? AND ? ORDER BY epoch, entity_id"
        )
        return [ProposalRow(*row) for row in self._all(sql, world_id, first_epoch, last_epoch)]

    def pending_proposals(self, world_id: str) -> list[ProposalRow]:
        sql = "SELECT epoch, entity_id, client_id, proposal FROM proposals WHERE world_id = ? ORDER BY epoch, entity_id"
        return [ProposalRow(*row) for row in self._all(sql, world_id)]

    def records(self, world_id: str, after_seq: int, limit: int) -> list[RecordRow]:
        sql = (
            "SELECT seq, type, payload, prev_sig, sig FROM records WHERE world_id = ? AND seq > ? ORDER BY seq LIMIT ?"
        )
        return [RecordRow(*row) for row in self._all(sql, world_id, after_seq, limit)]

    def first_seq(self, world_id: str) -> int | None:
        return self._one("SELECT MIN(seq) FROM records WHERE world_id = ?", world_id)[0]

    def tick_input(self, world_id: str, epoch: int) -> str | None:
        row = self._one("SELECT proposals FROM tick_inputs WHERE world_id = ? AND epoch = ?", world_id, epoch)
        return row[0] if row else None

    def tick_inputs(self, world_id: str, first_epoch: int, last_epoch: int) -> dict[int, str]:
        sql = "SELECT epoch, proposals FROM tick_inputs WHERE world_id = ? AND epoch BETWEEN ? AND ?"
        return dict(self._all(sql, world_id, first_epoch, last_epoch))

    def snapshots(self, world_id: str) -> list[SnapshotRow]:
        sql = "SELECT event_index, state, state_hash FROM snapshots WHERE world_id = ? ORDER BY event_index"
        return [SnapshotRow(*row) for row in self._all(sql, world_id)]

    def bundle(self, world_id: str) -> str | None:
        row = self._one("SELECT bundle FROM bundles WHERE world_id = ?", world_id)
        return row[0] if row else None

    def token(self, token_hash: str) -> TokenRow | None:
        sql = "SELECT token_hash, role, world_id, entity_id, expires_at FROM tokens WHERE token_hash = ?"
        row = self._one(sql, token_hash)
        return TokenRow(*row) if row else None

    def count_tokens(self, role: str) -> int:
        return self._one("SELECT COUNT(*) FROM tokens WHERE role = ?", role)[0]

    # Writes: only ever called inside a store's `write`.
    def insert_world(self, world: WorldRow, snapshot: SnapshotRow) -> None:
        marks = ", ".join("?" * len(WorldRow.__slots__))
        values = [getattr(world, name) for name in WorldRow.__slots__]
        self._db.execute(f"INSERT INTO worlds ({_WORLD_COLUMNS}) VALUES ({marks})", values)
        self._insert_snapshot(world.world_id, snapshot)

    def _insert_snapshot(self, world_id: str, snapshot: SnapshotRow) -> None:
        self._db.execute(
            "INSERT OR REPLACE INTO snapshots (world_id, event_index, state, state_hash) VALUES (?, ?, ?, ?)",
            (world_id, snapshot.event_index, snapshot.state, snapshot.state_hash),
        )

    def file_proposal(self, world_id: str, proposal: ProposalRow, now: float) -> str:
        key = (world_id, proposal.epoch, proposal.entity_id)
        row = self._one("SELECT client_id FROM proposals WHERE world_id = ? AND epoch = ? AND entity_id = ?", *key)
        if row is not None and row[0] == proposal.client_id:
            return "unchanged"
        self._db.execute(
            "INSERT OR REPLACE INTO proposals (world_id, epoch, entity_id, client_id, proposal, filed_at)"
            " VALUES (?, ?, ?, ?, ?, ?)",
            (*key, proposal.client_id, proposal.proposal, now),
        )
        self._db.execute(
            "UPDATE worlds SET filed = filed + 1, last_used_at = MAX(last_used_at, ?) WHERE world_id = ?",
            (now, world_id),
        )
        return "filed" if row is None else "replaced"

    def append(
        self,
        world: WorldRow,
        expected_head_seq: int,
        expected_filed: int | None,
        records: Sequence[RecordRow],
        tick_inputs: Sequence[tuple[int, str]],
    ) -> None:
        stored = self._one("SELECT head_seq, filed, status FROM worlds WHERE world_id = ?", world.world_id)
        if stored is None or stored[0] != expected_head_seq or stored[2] != "live":
            raise Stale(world.world_id)
        if expected_filed is not None and stored[1] != expected_filed:
            raise Stale(world.world_id)
        self._store_ticks(world, records, tick_inputs)

    def _store_ticks(
        self, world: WorldRow, records: Sequence[RecordRow], tick_inputs: Sequence[tuple[int, str]]
    ) -> None:
        self._db.executemany(
            "INSERT INTO records (world_id, seq, type, payload, prev_sig, sig) VALUES (?, ?, ?, ?, ?, ?)",
            [(world.world_id, r.seq, r.type, r.payload, r.prev_sig, r.sig) for r in records],
        )
        self._db.executemany(
            "INSERT OR REPLACE INTO tick_inputs (world_id, epoch, proposals) VALUES (?, ?, ?)",
            [(world.world_id, epoch, text) for epoch, text in tick_inputs],
        )
        if tick_inputs:
            last_epoch = max(epoch for epoch, _ in tick_inputs)
            self._db.execute("DELETE FROM proposals WHERE world_id = ? AND epoch <= ?", (world.world_id, last_epoch))
        self._update_world(world)

    def _update_world(self, world: WorldRow) -> None:
        assignments = ", ".join(f"{name} = ?" for name in APPENDED_WORLD_COLUMNS)
        values = [getattr(world, name) for name in APPENDED_WORLD_COLUMNS]
        self._db.execute(f"UPDATE worlds SET {assignments} WHERE world_id = ?", (*values, world.world_id))

    def suspend(self, world_id: str, expected_head_seq: int, bundle: str, snapshot: SnapshotRow, now: float) -> None:
        stored = self._one("SELECT head_seq, status FROM worlds WHERE world_id = ?", world_id)
        if stored is None or stored[0] != expected_head_seq or stored[1] != "live":
            raise Stale(world_id)
        self._db.execute(
            "INSERT OR REPLACE INTO bundles (world_id, bundle, suspended_at) VALUES (?, ?, ?)", (world_id, bundle, now)
        )
        self._insert_snapshot(world_id, snapshot)
        self._db.execute("UPDATE worlds SET state = NULL, status = 'suspended' WHERE world_id = ?", (world_id,))

    def release_bundle(
        self,
        world: WorldRow,
        expected_filed: int,
        records: Sequence[RecordRow],
        tick_inputs: Sequence[tuple[int, str]],
    ) -> None:
        stored = self._one("SELECT filed, status FROM worlds WHERE world_id = ?", world.world_id)
        if stored is None or stored[1] != "suspended" or stored[0] != expected_filed:
            raise Stale(world.world_id)
        self._store_ticks(world, records, tick_inputs)
        self._db.execute("DELETE FROM bundles WHERE world_id = ?", (world.world_id,))

    def configure(
        self, world_id: str, expected_filed: int, settings: str, created_at: float, next_epoch_at: float
    ) -> None:
        stored = self._one("SELECT filed FROM worlds WHERE world_id = ?", world_id)
        if stored is None or stored[0] != expected_filed:
            raise Stale(world_id)
        self._db.execute(
            "UPDATE worlds SET settings = ?, created_at = ?, next_epoch_at = ?, filed = filed + 1 WHERE world_id = ?",
            (settings, created_at, next_epoch_at, world_id),
        )

    def touch(self, world_id: str, now: float) -> None:
        self._db.execute("UPDATE worlds SET last_used_at = MAX(last_used_at, ?) WHERE world_id = ?", (now, world_id))

    def prune(self, world_id: str, before_seq: int) -> int:
        cursor = self._db.execute("DELETE FROM records WHERE world_id = ? AND seq < ?", (world_id, before_seq))
        self._db.execute("DELETE FROM snapshots WHERE world_id = ? AND event_index < ?", (world_id, before_seq))
        return cursor.rowcount

    def own(self, world_id: str) -> None:
        pass  # one process has every world

    def insert_token(self, token: TokenRow, now: float) -> None:
        self._db.execute(
            "INSERT INTO tokens (token_hash, role, world_id, entity_id, expires_at, created_at)"
            " VALUES (?, ?, ?, ?, ?, ?)",
            (token.token_hash, token.role, token.world_id, token.entity_id, token.expires_at, now),
        )

    def delete_world(self, world_id: str) -> bool:
        for table in _WORLD_TABLES:
            self._db.execute(f"DELETE FROM {table} WHERE world_id = ?", (world_id,))
        return self._db.execute("DELETE FROM worlds WHERE world_id = ?", (world_id,)).rowcount > 0
