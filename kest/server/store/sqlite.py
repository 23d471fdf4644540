"""The SQLite store (standard library sqlite3): one writer connection, one reader per thread.

WAL lets readers go on while the writer commits; synchronous=FULL makes every COMMIT durable
before it returns, so an acknowledged write survives a power cut; every write transaction begins
with BEGIN IMMEDIATE, taking the write lock up front, so two server processes on one file queue
behind each other instead of failing half-way with a busy error.
"""

import contextlib
import sqlite3
import threading
from collections.abc import Sequence

from kest.server.store import Job, Outcome, Stale, StoreError
from kest.server.store.queries import Queries
from kest.server.store.schema import VERSION_TABLE, SchemaTooNew, pending

BUSY_TIMEOUT_MS = 10_000


def _connect(path: str) -> sqlite3.Connection:
    # Autocommit mode: transactions are begun and ended by the statements written here.
    connection = sqlite3.connect(path, isolation_level=None, check_same_thread=False, timeout=BUSY_TIMEOUT_MS / 1000)
    try:
        connection.execute(f"PRAGMA busy_timeout = {BUSY_TIMEOUT_MS}")
        if connection.execute("PRAGMA journal_mode = WAL").fetchone()[0].lower() != "wal":
            raise StoreError(f"{path}: the database cannot use write-ahead logging")
        connection.execute("PRAGMA synchronous = FULL")
    except BaseException:
        connection.close()
        raise
    return connection


@contextlib.contextmanager
def _reported(path: str):
    """Database failures leave here as StoreError naming the file and SQLite's own words."""
    try:
        yield
    except sqlite3.DatabaseError as failure:
        raise StoreError(f"{path}: {failure}") from failure


class SqliteStore:
    def __init__(self, path: str):
        self.path = path
        with _reported(path):
            self._writer = _connect(path)
            try:
                self._migrate()
            except BaseException:
                self._writer.close()
                raise
        self._write_lock = threading.Lock()
        self._local = threading.local()
        self._readers: list[sqlite3.Connection] = []
        self._readers_lock = threading.Lock()

    def _migrate(self) -> None:
        db = self._writer
        db.execute("BEGIN IMMEDIATE")
        try:
            db.execute(VERSION_TABLE)
            row = db.execute("SELECT version FROM schema_version").fetchone()
            found = row[0] if row else 0
            steps = pending(found)
            for version, statements in steps:
                for statement in statements:
                    db.execute(statement)
                db.execute("DELETE FROM schema_version")
                db.execute("INSERT INTO schema_version (version) VALUES (?)", (version,))
            db.execute("COMMIT")
        except SchemaTooNew as failure:
            db.execute("ROLLBACK")
            raise StoreError(f"{self.path}: {failure}") from None
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise

    def schema_version(self) -> int:
        with _reported(self.path):
            return self.reads()._one("SELECT version FROM schema_version")[0]

    def reads(self) -> Queries:
        reader = getattr(self._local, "reader", None)
        if reader is None:
            with _reported(self.path):
                connection = _connect(self.path)
            with self._readers_lock:
                self._readers.append(connection)
            reader = self._local.reader = _ReportingReads(self.path, Queries(connection))
        return reader

    def write(self, jobs: Sequence[Job]) -> list[Outcome]:
        with self._write_lock, _reported(self.path):
            db = self._writer
            writes = Queries(db)
            db.execute("BEGIN IMMEDIATE")
            try:
                outcomes = [self._run_job(db, writes, job) for job in jobs]
                db.execute("COMMIT")
            except BaseException:
                if db.in_transaction:
                    db.execute("ROLLBACK")
                raise
            return outcomes

    @staticmethod
    def _run_job(db: sqlite3.Connection, writes: Queries, job: Job) -> Outcome:
        db.execute("SAVEPOINT job")
        try:
            value = job(writes)
        except (sqlite3.OperationalError, sqlite3.InternalError, sqlite3.DatabaseError) as failure:
            if isinstance(failure, sqlite3.IntegrityError):
                db.execute("ROLLBACK TO job")
                db.execute("RELEASE job")
                return Outcome(failure=Stale(str(failure)))
            raise  # the database itself failed (a full disk, a broken file): the whole batch fails
        except Exception as failure:
            db.execute("ROLLBACK TO job")
            db.execute("RELEASE job")
            return Outcome(failure=failure)
        db.execute("RELEASE job")
        return Outcome(value)

    def close(self) -> None:
        with self._readers_lock:
            for connection in self._readers:
                connection.close()
            self._readers.clear()
        with self._write_lock:
            self._writer.close()


class _ReportingReads:
    """A thread's reads, with database failures reported as StoreError."""

    def __init__(self, path: str, sql: Queries):
        self._path = path
        self._sql = sql

    def __getattr__(self, name: str):
        method = getattr(self._sql, name)

        def reported(*args):
            with _reported(self._path):
                return method(*args)

        return reported
