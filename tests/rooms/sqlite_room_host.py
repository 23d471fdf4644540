"""A host for rooms in a single SQLite file, for testing rooms apart from `kest serve`: tokens,
one world row per world, and its chain of records. Run it with
`uvicorn --factory tests.rooms.sqlite_room_host:app` and KEST_ROOM_DB naming the file."""

import asyncio
import contextlib
import hashlib
import os
import sqlite3

from starlette.applications import Starlette

import kest_engine_native as k
from kest.server.rooms import FrameGroup, Principal, Rooms, RoomSettings, RoomWorld

KEY = "0123456789abcdef" * 4
GENESIS = "genesis"
_SCHEMA = """
CREATE TABLE IF NOT EXISTS worlds(world_id TEXT PRIMARY KEY, ruleset TEXT, state TEXT, frame INTEGER,
    head_seq INTEGER, head_sig TEXT);
CREATE TABLE IF NOT EXISTS records(world_id TEXT, seq INTEGER, type TEXT, payload TEXT, prev_sig TEXT, sig TEXT,
    UNIQUE(world_id, seq));
CREATE TABLE IF NOT EXISTS tokens(token_hash TEXT PRIMARY KEY, role TEXT, world_id TEXT, entity_id TEXT);
"""


def _hash(token: str) -> str:
    return hashlib.sha256(token.encode()).hexdigest()


def connect(path: str) -> sqlite3.Connection:
    db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=FULL")
    db.executescript(_SCHEMA)
    return db


def create_world(path: str, world_id: str, state: str, ruleset: str, tokens: dict[str, tuple]) -> None:
    """A world at frame 0 and its tokens: token -> (role, world_id, entity_id)."""
    db = connect(path)
    db.execute("INSERT INTO worlds VALUES (?, ?, ?, 0, -1, ?)", (world_id, ruleset, state, GENESIS))
    for token, (role, token_world, entity) in tokens.items():
        db.execute("INSERT INTO tokens VALUES (?, ?, ?, ?)", (_hash(token), role, token_world, entity))
    db.close()


class SqliteRoomHost:
    def __init__(self, path: str):
        self._db = connect(path)

    async def authenticate(self, token: str) -> Principal | None:
        row = self._db.execute(
            "SELECT role, world_id, entity_id FROM tokens WHERE token_hash = ?", (_hash(token),)
        ).fetchone()
        return None if row is None else Principal(_hash(token), *row)

    async def open_world(self, world_id: str) -> RoomWorld | None:
        row = self._db.execute("SELECT ruleset, state, frame FROM worlds WHERE world_id = ?", (world_id,)).fetchone()
        return None if row is None else RoomWorld(world_id, row[1], row[0], row[2])

    async def append_frames(self, world_id: str, group: FrameGroup) -> None:
        await asyncio.to_thread(self._append, world_id, group)

    def _append(self, world_id: str, group: FrameGroup) -> None:
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            head_seq, head_sig = db.execute(
                "SELECT head_seq, head_sig FROM worlds WHERE world_id = ?", (world_id,)
            ).fetchone()
            payload = group.payload()
            sig = k.sign_record(KEY.encode(), head_seq + 1, group.RECORD_TYPE, payload, head_sig)
            db.execute(
                "INSERT INTO records VALUES (?, ?, ?, ?, ?, ?)",
                (world_id, head_seq + 1, group.RECORD_TYPE, payload, head_sig, sig),
            )
            db.execute(
                "UPDATE worlds SET state = ?, frame = ?, head_seq = ?, head_sig = ? WHERE world_id = ?",
                (group.state, group.last_frame, head_seq + 1, sig, world_id),
            )
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise

    async def release_world(self, world_id: str) -> None:
        return None


def app() -> Starlette:
    rate = int(os.environ.get("KEST_ROOM_RATE", "20"))
    rooms = Rooms(SqliteRoomHost(os.environ["KEST_ROOM_DB"]), RoomSettings(rate=rate))

    @contextlib.asynccontextmanager
    async def lifespan(_app):
        yield
        await rooms.close()

    return Starlette(routes=rooms.routes(), lifespan=lifespan)
