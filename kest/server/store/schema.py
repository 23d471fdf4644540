"""The database's versioned schema and the migrations that bring an older database up to date.

Each migration is a list of statements that takes the schema from the version before it to its
own; they run in one transaction with the new version number, so a crash leaves the old schema or
the new one. The SQL keeps to what SQLite and PostgreSQL both read (TEXT, BIGINT, DOUBLE
PRECISION, composite primary keys).
"""

V1 = [
    # A world's current state travels as text between the store and the engine; it is NULL while
    # the world is suspended into its bundle. head_seq is -1 before the first record. `filed`
    # counts proposal and settings writes, so that a tick computed before one is known stale.
    # created_at is the origin of the world's clock (moved when its epoch period changes).
    """CREATE TABLE worlds (
        world_id TEXT PRIMARY KEY,
        ruleset TEXT NOT NULL,
        settings TEXT NOT NULL,
        state TEXT,
        state_hash TEXT NOT NULL,
        epoch BIGINT NOT NULL,
        frame BIGINT NOT NULL,
        head_seq BIGINT NOT NULL,
        head_sig TEXT NOT NULL,
        genesis TEXT NOT NULL,
        filed BIGINT NOT NULL,
        status TEXT NOT NULL,
        next_epoch_at DOUBLE PRECISION NOT NULL,
        last_used_at DOUBLE PRECISION NOT NULL,
        created_at DOUBLE PRECISION NOT NULL
    )""",
    "CREATE INDEX worlds_due ON worlds (status, next_epoch_at)",
    # The primary key is the last guard against a forked chain: two writers can never both store a seq.
    """CREATE TABLE records (
        world_id TEXT NOT NULL,
        seq BIGINT NOT NULL,
        type TEXT NOT NULL,
        payload TEXT NOT NULL,
        prev_sig TEXT NOT NULL,
        sig TEXT NOT NULL,
        PRIMARY KEY (world_id, seq)
    )""",
    # A state that holds the chain's first event_index records: the first at creation, one more at
    # every suspension. Records before the latest can be archived and pruned.
    """CREATE TABLE snapshots (
        world_id TEXT NOT NULL,
        event_index BIGINT NOT NULL,
        state TEXT NOT NULL,
        state_hash TEXT NOT NULL,
        PRIMARY KEY (world_id, event_index)
    )""",
    """CREATE TABLE proposals (
        world_id TEXT NOT NULL,
        epoch BIGINT NOT NULL,
        entity_id TEXT NOT NULL,
        client_id TEXT NOT NULL,
        proposal TEXT NOT NULL,
        filed_at DOUBLE PRECISION NOT NULL,
        PRIMARY KEY (world_id, epoch, entity_id)
    )""",
    """CREATE TABLE tick_inputs (
        world_id TEXT NOT NULL,
        epoch BIGINT NOT NULL,
        proposals TEXT NOT NULL,
        PRIMARY KEY (world_id, epoch)
    )""",
    """CREATE TABLE bundles (
        world_id TEXT PRIMARY KEY,
        bundle TEXT NOT NULL,
        suspended_at DOUBLE PRECISION NOT NULL
    )""",
    """CREATE TABLE tokens (
        token_hash TEXT PRIMARY KEY,
        role TEXT NOT NULL,
        world_id TEXT,
        entity_id TEXT,
        expires_at DOUBLE PRECISION,
        created_at DOUBLE PRECISION NOT NULL
    )""",
]

# Which host process owns a world when several share one database (see leases.py); a single SQLite
# process never asks. Worlds of version 1 start without an owner.
V2 = [
    """CREATE TABLE leases (
        world_id TEXT PRIMARY KEY,
        owner TEXT NOT NULL,
        address TEXT NOT NULL,
        generation BIGINT NOT NULL,
        expires_at DOUBLE PRECISION NOT NULL
    )""",
    "INSERT INTO leases (world_id, owner, address, generation, expires_at) SELECT world_id, '', '', 0, 0 FROM worlds",
]

# MIGRATIONS[n - 1] takes a database from version n - 1 to version n.
MIGRATIONS: list[list[str]] = [V1, V2]
LATEST = len(MIGRATIONS)

VERSION_TABLE = "CREATE TABLE IF NOT EXISTS schema_version (version BIGINT NOT NULL)"


class SchemaTooNew(Exception):
    """The database was written by a newer server: this one must not touch it."""

    def __init__(self, found: int):
        super().__init__(
            f"the database has schema version {found}, newer than version {LATEST} that this server knows; "
            "run a newer server"
        )
        self.found = found


def pending(found: int) -> list[tuple[int, list[str]]]:
    """The migrations a database at version `found` still needs, as (new version, statements)."""
    if found > LATEST:
        raise SchemaTooNew(found)
    return [(version, MIGRATIONS[version - 1]) for version in range(found + 1, LATEST + 1)]
