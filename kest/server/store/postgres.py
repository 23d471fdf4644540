"""The PostgreSQL store (psycopg 3 with a connection pool), for many host processes sharing one database.

It runs the host's queries (queries.py), so the SQL lives in one place; `postgres_text` rewrites each once
into PostgreSQL's dialect by four named rules. Where SQLite's BEGIN IMMEDIATE takes the whole file
for a write, here a write takes the rows it touches: inside a write, reading a world's row locks it
(`SELECT ... FOR UPDATE`), so a proposal filed while the world is being ticked waits for the tick's
COMMIT and then sees the epoch it resolved.

Every process owns the worlds it writes through leases (see leases.py): `due_worlds` first claims free
due worlds and then lists the due worlds this process owns; every append and suspension checks the
lease in its own transaction before writing; a background thread renews the leases. A world this
process does not own is refused with `NotOwner`, which names where its owner is reached.
"""

import functools
import re
import select
import threading
import uuid
from collections.abc import Sequence
from typing import NoReturn

import psycopg
from psycopg.conninfo import conninfo_to_dict
from psycopg_pool import ConnectionPool, PoolTimeout

from kest.server.store import Job, NotOwner, Outcome, SnapshotRow, Stale, StoreError, WorldRow
from kest.server.store import append as append_sql
from kest.server.store import leases as lease_sql
from kest.server.store.queries import Queries
from kest.server.store.schema import VERSION_TABLE, SchemaTooNew, pending

CONNECT_SECONDS = 5.0
# How long a request waits for a connection while the database is away before it fails (503): well within
# a client's patience, so that it hears why instead of timing out.
WAIT_SECONDS = 2.0
# A connection for each of the clock's tick threads, so that no tick waits for another's read.
POOL_SIZE = 16
WRITE_ATTEMPTS = 3
_TRY_AGAIN = (psycopg.errors.DeadlockDetected, psycopg.errors.SerializationFailure)
# Any constant: the advisory lock under which one process at a time migrates the schema.
_MIGRATION_LOCK = 0x6B657374

# The keys that decide which row an "INSERT OR REPLACE" replaces.
_REPLACE_KEYS = {
    "snapshots": ("world_id", "event_index"),
    "proposals": ("world_id", "epoch", "entity_id"),
    "tick_inputs": ("world_id", "epoch"),
    "bundles": ("world_id",),
}
_INSERT_OR_REPLACE = re.compile(r"INSERT OR REPLACE INTO (\w+) \(([^)]*)\)(.*)", re.DOTALL)
_SCALAR_MAX = re.compile(r"\bMAX\((\w+), \?\)")
_WORLD_ROW_READ = re.compile(r"^SELECT .* FROM worlds WHERE world_id = \?$", re.DOTALL)


@functools.cache
def postgres_text(sql: str, in_write: bool) -> str:
    """The host's query `sql` (in SQLite's words) in PostgreSQL's."""
    # 1. SQLite's two-argument MAX is PostgreSQL's GREATEST.
    sql = _SCALAR_MAX.sub(r"GREATEST(\1, ?)", sql)
    # 2. INSERT OR REPLACE is an insert that updates the row of the same key.
    replace = _INSERT_OR_REPLACE.fullmatch(sql)
    if replace:
        table, columns, rest = replace.groups()
        keys = _REPLACE_KEYS[table]
        names = [name.strip() for name in columns.split(",")]
        updates = ", ".join(f"{name} = excluded.{name}" for name in names if name not in keys)
        sql = f"INSERT INTO {table} ({columns}){rest} ON CONFLICT ({', '.join(keys)}) DO UPDATE SET {updates}"
    # 3. Inside a write, reading a world's row locks it, as BEGIN IMMEDIATE locks SQLite's whole file.
    if in_write and _WORLD_ROW_READ.match(sql):
        sql += " FOR UPDATE"
    # 4. Parameters are %s, not ?.
    return sql.replace("?", "%s")


class _Dialect:
    """A psycopg connection that takes statements and arguments in SQLite's words."""

    def __init__(self, connection: psycopg.Connection, in_write: bool):
        self.connection = connection
        self._in_write = in_write
        self.wrote = False  # whether a statement that changes rows ran since it was last cleared

    def execute(self, sql: str, args=()):
        self.wrote = self.wrote or not sql.startswith("SELECT")
        return self.connection.execute(postgres_text(sql, self._in_write), args)

    def executemany(self, sql: str, rows) -> None:
        # One statement at a time, not psycopg's pipelined executemany: inside a pipeline the server waits for
        # the rest without arming idle_in_transaction_session_timeout, so a process stopped half-way through
        # one would hold its leases' row locks, and so its worlds, for as long as it sleeps.
        self.wrote = True
        text = postgres_text(sql, self._in_write)
        for row in rows:
            self.connection.execute(text, row)


class _Ownership:
    """The leases this process holds, by world, as it last learned them from the database."""

    def __init__(self, holder: lease_sql.Holder):
        self.holder = holder
        self._generations: dict[str, int] = {}
        self._lock = threading.Lock()

    def lease(self, world_id: str) -> lease_sql.Lease | None:
        with self._lock:
            generation = self._generations.get(world_id)
        return None if generation is None else lease_sql.Lease(world_id, generation)

    def learn(self, leases: Sequence[lease_sql.Lease]) -> None:
        with self._lock:
            self._generations.update((lease.world_id, lease.generation) for lease in leases)

    def forget(self, world_ids: Sequence[str]) -> None:
        with self._lock:
            for world_id in world_ids:
                self._generations.pop(world_id, None)

    def replace(self, held: dict[str, int], known_before: set[str]) -> None:
        """What a renewal found: leases known before it began and not held now are gone; leases taken
        while it ran stay."""
        with self._lock:
            for world_id in known_before - held.keys():
                self._generations.pop(world_id, None)
            self._generations.update(held)

    def world_ids(self) -> set[str]:
        with self._lock:
            return set(self._generations)


class _NeedsSavepoints(Exception):
    """A job run without a savepoint failed after it had changed rows: only a savepoint can undo its part."""


class _PostgresSql(Queries):
    """The host's queries on a PostgreSQL connection, with this process's leases checked."""

    def __init__(self, connection: psycopg.Connection, ownership: _Ownership, in_write: bool):
        self._dialect = _Dialect(connection, in_write)
        super().__init__(self._dialect)
        self._connection = connection
        self._ownership = ownership

    @property
    def wrote(self) -> bool:
        """Whether rows were changed since `wrote` was last set to False: a lock taken is no change."""
        return self._dialect.wrote

    @wrote.setter
    def wrote(self, value: bool) -> None:
        self._dialect.wrote = value

    # Reads: only the worlds this process owns are its to tick or suspend.
    def due_worlds(self, now: float, limit: int) -> list[str]:
        holder = self._ownership.holder
        self._ownership.learn(lease_sql.claim(self._connection, holder, now, limit))
        sql = (
            "SELECT w.world_id FROM worlds AS w JOIN leases AS l ON l.world_id = w.world_id"
            f" WHERE l.owner = %s AND l.expires_at > {lease_sql.DATABASE_NOW}"
            " AND w.status = 'live' AND w.next_epoch_at <= %s ORDER BY w.next_epoch_at LIMIT %s"
        )
        return [row[0] for row in self._connection.execute(sql, (holder.owner, now, limit))]

    def idle_worlds(self, before: float, limit: int) -> list[str]:
        sql = (
            "SELECT w.world_id FROM worlds AS w JOIN leases AS l ON l.world_id = w.world_id"
            f" WHERE l.owner = %s AND l.expires_at > {lease_sql.DATABASE_NOW}"
            " AND w.status = 'live' AND w.last_used_at < %s LIMIT %s"
        )
        return [row[0] for row in self._connection.execute(sql, (self._ownership.holder.owner, before, limit))]

    def owner_address(self, world_id: str) -> str | None:
        return lease_sql.address_of(self._connection, self._ownership.holder, world_id)

    # Writes.
    def insert_world(self, world: WorldRow, snapshot: SnapshotRow) -> None:
        super().insert_world(world, snapshot)
        self._take(world.world_id)

    # The writes below pass their other arguments through as they are: they add a lease, nothing else.
    def append(self, world: WorldRow, *checks_and_rows) -> None:
        lease = self._known_lease(world.world_id)
        held, moved = append_sql.append(self._connection, self._ownership.holder, lease, world, *checks_and_rows)
        if not held:
            self._lost(world.world_id)
        if not moved:
            raise Stale(world.world_id)
        self.wrote = True

    def suspend(self, world_id: str, *checks_and_rows) -> None:
        self._hold(world_id)
        super().suspend(world_id, *checks_and_rows)
        # A suspended world is nobody's: whoever resumes it takes it.
        self.wrote = True
        lease_sql.release(self._connection, self._ownership.holder, [world_id])
        self._ownership.forget([world_id])

    def release_bundle(self, world: WorldRow, *checks_and_rows) -> None:
        super().release_bundle(world, *checks_and_rows)
        self._take(world.world_id)

    def delete_world(self, world_id: str) -> bool:
        # Its lease row goes with it: an owner's later append finds no lease and writes nothing.
        deleted = super().delete_world(world_id)
        self._ownership.forget([world_id])
        return deleted

    def own(self, world_id: str) -> None:
        lease = self._ownership.lease(world_id)
        self.wrote = True
        if lease is None or not lease_sql.hold(self._connection, self._ownership.holder, lease):
            # Never held, or lapsed: a lease nobody else holds alive is taken again, with a new generation.
            self._ownership.forget([world_id])
            self._take(world_id)

    def _take(self, world_id: str) -> None:
        self.wrote = True
        lease = lease_sql.take(self._connection, self._ownership.holder, world_id)
        if lease is None:
            raise NotOwner(world_id, self.owner_address(world_id))
        self._ownership.learn([lease])

    def _hold(self, world_id: str) -> None:
        if not lease_sql.hold(self._connection, self._ownership.holder, self._known_lease(world_id)):
            self._lost(world_id)
        self.wrote = True

    def _known_lease(self, world_id: str) -> lease_sql.Lease:
        lease = self._ownership.lease(world_id)
        if lease is None:
            self._lost(world_id)
        return lease

    def _lost(self, world_id: str) -> NoReturn:
        self._ownership.forget([world_id])
        raise NotOwner(world_id, self.owner_address(world_id))


def _check_if_spoken_to(connection: psycopg.Connection) -> None:
    """The pool's check of a connection before it is lent out, without a round trip while it is quiet.

    Between commands the server never writes on a connection of its own accord, except to say why it closes
    it (a restart, a failover, an administrator ending the session), and a closed socket reads as an end of
    file: only a connection with something to read is checked with a query, and replaced when that fails."""
    readable, _, _ = select.select([connection.fileno()], [], [], 0)
    if readable:
        ConnectionPool.check_connection(connection)


def _open_pool(url: str, lease_seconds: float, min_size: int, max_size: int) -> ConnectionPool:
    pool = ConnectionPool(
        url,
        min_size=min_size,
        max_size=max_size,
        # A process stopped inside a transaction (paused, swapped out) would hold its leases' row locks
        # and so its worlds for as long as it sleeps; the server ends such a session after a lease's time.
        kwargs={
            "autocommit": True,
            "options": f"-c idle_in_transaction_session_timeout={int(lease_seconds * 1000)}",
        },
        timeout=WAIT_SECONDS,
        # A connection the server dropped (a restart, a failover) is replaced before it is lent out.
        check=_check_if_spoken_to,
        open=False,
    )
    pool.open(wait=True, timeout=CONNECT_SECONDS)
    return pool


def _describe(url: str) -> str:
    """The database's name and host from `url`, without a password, for messages."""
    try:
        parts = conninfo_to_dict(url)
    except psycopg.ProgrammingError:
        return "the PostgreSQL database (an unreadable URL)"
    return f"PostgreSQL database {parts.get('dbname', '?')} at {parts.get('host', 'localhost')}"


class PostgresStore:
    def __init__(self, url: str, lease_seconds: float = 10.0, address: str = ""):
        self.path = _describe(url)
        self._ownership = _Ownership(lease_sql.Holder(uuid.uuid4().hex, address, lease_seconds))
        try:
            # A first connection of its own, so that an unreachable database is reported in its own words.
            psycopg.connect(url, connect_timeout=CONNECT_SECONDS).close()
        except psycopg.Error as failure:
            raise StoreError(f"cannot reach {self.path}: {str(failure).strip()}") from None
        # The reads of every thread share a pool; the one writer has a connection of its own, so that it
        # never waits behind reads for one: every write of the process waits for it.
        self._pool = _open_pool(url, lease_seconds, 2, POOL_SIZE)
        try:
            self._writer_pool = _open_pool(url, lease_seconds, 1, 1)
        except BaseException:
            self._pool.close()
            raise
        try:
            self._migrate()
        except BaseException:
            self._close_pools()
            raise
        self._write_lock = threading.Lock()
        self._stopping = threading.Event()
        self._renewer = threading.Thread(target=self._renew_until_closed, name="lease renewal", daemon=True)
        self._renewer.start()

    @property
    def holder(self) -> lease_sql.Holder:
        return self._ownership.holder

    def _connection(self, pool: ConnectionPool | None = None):
        """A pooled connection (of the reads' pool unless told), with database failures reported as StoreError."""
        return _Reported(self.path, pool or self._pool)

    def _close_pools(self) -> None:
        self._writer_pool.close()
        self._pool.close()

    def _migrate(self) -> None:
        with self._connection() as connection, connection.transaction():
            connection.execute("SELECT pg_advisory_xact_lock(%s)", (_MIGRATION_LOCK,))
            connection.execute(VERSION_TABLE)
            row = connection.execute("SELECT version FROM schema_version").fetchone()
            try:
                steps = pending(row[0] if row else 0)
            except SchemaTooNew as failure:
                raise StoreError(f"{self.path}: {failure}") from None
            for version, statements in steps:
                for statement in statements:
                    connection.execute(statement)
                connection.execute("DELETE FROM schema_version")
                connection.execute("INSERT INTO schema_version (version) VALUES (%s)", (version,))

    def schema_version(self) -> int:
        with self._connection() as connection:
            return connection.execute("SELECT version FROM schema_version").fetchone()[0]

    def reads(self) -> "_PooledReads":
        return _PooledReads(self)

    def write(self, jobs: Sequence[Job]) -> list[Outcome]:
        with self._write_lock:
            for _ in range(WRITE_ATTEMPTS - 1):
                try:
                    return self._write_once(jobs)
                except StoreError as failure:
                    # Two processes' groups lock the rows of the same worlds in different orders; the database
                    # aborts one group, which runs again from the start: nothing of it was stored.
                    if not isinstance(failure.__cause__, _TRY_AGAIN):
                        raise
            return self._write_once(jobs)

    def _write_once(self, jobs: Sequence[Job]) -> list[Outcome]:
        with self._connection(self._writer_pool) as connection:
            # A savepoint costs two round trips a job, and most jobs never need one: a tick's append is one
            # statement that changes nothing when it fails. So the group first runs without; only when a job
            # fails after changing rows, or the database refuses a statement, does it run again from the
            # start, each job in a savepoint of its own.
            try:
                with connection.transaction():
                    writes = _PostgresSql(connection, self._ownership, in_write=True)
                    return [self._run_unguarded(writes, job) for job in jobs]
            except _NeedsSavepoints:
                pass  # rolled back: nothing of the group was stored
            with connection.transaction():
                writes = _PostgresSql(connection, self._ownership, in_write=True)
                return [self._run_job(connection, writes, job) for job in jobs]

    @staticmethod
    def _run_unguarded(writes: _PostgresSql, job: Job) -> Outcome:
        writes.wrote = False
        try:
            value = job(writes)
        except psycopg.errors.IntegrityError as failure:
            raise _NeedsSavepoints from failure  # the transaction is aborted: only a savepoint keeps the others
        except psycopg.Error:
            raise  # the database itself failed (unreachable, deadlocked): the whole batch fails
        except Exception as failure:
            if writes.wrote:
                raise _NeedsSavepoints from failure
            return Outcome(failure=failure)
        return Outcome(value)

    @staticmethod
    def _run_job(connection: psycopg.Connection, writes: _PostgresSql, job: Job) -> Outcome:
        try:
            with connection.transaction():  # a savepoint: a failing job leaves nothing
                value = job(writes)
        except psycopg.errors.IntegrityError as failure:
            return Outcome(failure=Stale(str(failure)))
        except psycopg.Error:
            raise  # the database itself failed (unreachable, deadlocked): the whole batch fails
        except Exception as failure:
            return Outcome(failure=failure)
        return Outcome(value)

    def _renew_until_closed(self) -> None:
        while not self._stopping.wait(self.holder.seconds / 3):
            known_before = self._ownership.world_ids()
            try:
                with self._connection() as connection:
                    held = lease_sql.renew(connection, self.holder)
            except StoreError:
                continue  # the database is away: the leases lapse, and appends find out
            self._ownership.replace(held, known_before)

    def close(self) -> None:
        """Stops renewing, gives this process's leases back so that others take them at once, and closes."""
        self._stopping.set()
        self._renewer.join()
        try:
            with self._connection() as connection:
                lease_sql.release(connection, self.holder, sorted(self._ownership.world_ids()))
        except StoreError:
            pass  # unreachable: the leases lapse on their own
        self._close_pools()


class _Reported:
    """A pooled connection for a `with` block; database failures leave it as StoreError naming the database."""

    def __init__(self, description: str, pool: ConnectionPool):
        self._description = description
        self._pool = pool
        self._borrowed = None

    def __enter__(self) -> psycopg.Connection:
        try:
            self._borrowed = self._pool.connection()
            return self._borrowed.__enter__()
        except (psycopg.Error, PoolTimeout) as failure:
            raise StoreError(f"{self._description}: {str(failure).strip()}") from failure

    def __exit__(self, kind, failure, traceback) -> bool:
        self._borrowed.__exit__(kind, failure, traceback)
        if isinstance(failure, psycopg.Error):
            raise StoreError(f"{self._description}: {str(failure).strip()}") from failure
        return False


class _PooledReads:
    """Reads that each borrow a pooled connection for one statement's time."""

    def __init__(self, store: PostgresStore):
        self._store = store

    def __getattr__(self, name: str):
        def reported(*args):
            with self._store._connection() as connection:
                return getattr(_PostgresSql(connection, self._store._ownership, in_write=False), name)(*args)

        return reported
