"""Leases: which host process owns a world, on the database's clock.

Many `kest serve` processes share one PostgreSQL database. Each world is owned by at most one of them at
a time, through its row in `leases`:

    leases(world_id, owner, address, generation, expires_at)

- `owner` names a process (a random id drawn at start), `address` is where its clients reach it, so a
  process asked about a world it does not own can say where the world's room is.
- `expires_at` is on the database's clock (seconds since 1970, like the other times of the schema), so
  the hosts' own clocks never matter: a lease is alive while `expires_at > now` as the database says.
- `generation` grows by one every time the lease changes hands, and only then.

Taking worlds: `claim` takes due worlds whose lease has expired (or that never had an owner) in one
UPDATE whose candidates are chosen `FOR UPDATE SKIP LOCKED`: two processes claiming at once skip each
other's rows instead of waiting, so each world goes to exactly one of them, with a new generation.

Keeping them: `renew` pushes the expiry of the leases a process still holds and reports which those
are; an expired lease is never renewed, even when nobody took it yet: its owner must claim it again
and so gets a new generation. A process learns this way, at the latest one renewal after it woke up
from a pause, that its worlds are gone.

Writing: every append runs `hold` in its own transaction, before it writes. `hold` is an UPDATE that
matches only while this process still owns the world with the generation its work was computed under
and the lease has not expired; it also extends the lease, and the row lock it takes lasts until the
transaction ends. A claim skips a locked row, so a world never changes hands between the check and the
COMMIT of the append it guards; and once it has changed hands, the old owner's `hold` matches nothing.
The worlds row's head check and the records table's primary key (world_id, seq) stay as further guards.

Lock order: `claim` and `renew` never wait for a row (SKIP LOCKED); only `hold` waits, and only behind
another append of the same world, which a process holding a stale view of ownership can attempt. Two
such stale processes could wait for each other; PostgreSQL's deadlock detector then aborts one
transaction, whose jobs fail like any other failed write and are retried.
"""

from dataclasses import dataclass

from psycopg import Connection

# The database's clock, in the schema's seconds since 1970. clock_timestamp() rather than now(): now()
# stands still for a whole transaction, and a batch of appends can outlast a lease.
DATABASE_NOW = "extract(epoch from clock_timestamp())"

CREATE_TABLE = """CREATE TABLE leases (
    world_id TEXT PRIMARY KEY,
    owner TEXT NOT NULL,
    address TEXT NOT NULL,
    generation BIGINT NOT NULL,
    expires_at DOUBLE PRECISION NOT NULL
)"""


@dataclass(frozen=True)
class Holder:
    """One process as owner of leases: its id, where its clients reach it, and how long a lease lasts."""

    owner: str
    address: str
    seconds: float


@dataclass(frozen=True)
class Lease:
    world_id: str
    generation: int


_CLAIM = f"""
UPDATE leases AS l
SET owner = %(owner)s, address = %(address)s, generation = l.generation + 1,
    expires_at = {DATABASE_NOW} + %(seconds)s
FROM (
    SELECT l.world_id FROM leases AS l JOIN worlds AS w ON w.world_id = l.world_id
    WHERE l.expires_at <= {DATABASE_NOW} AND w.status = %(status)s AND w.next_epoch_at <= {DATABASE_NOW} + %(ahead)s
    ORDER BY w.next_epoch_at
    LIMIT %(limit)s
    FOR UPDATE OF l SKIP LOCKED
) AS due
WHERE l.world_id = due.world_id
RETURNING l.world_id, l.generation
"""

_RENEW = f"""
UPDATE leases AS l
SET expires_at = {DATABASE_NOW} + %(seconds)s
FROM (
    SELECT world_id FROM leases
    WHERE owner = %(owner)s AND expires_at > {DATABASE_NOW}
    FOR UPDATE SKIP LOCKED
) AS held
WHERE l.world_id = held.world_id
RETURNING l.world_id, l.generation
"""

_HOLD = f"""
UPDATE leases SET expires_at = {DATABASE_NOW} + %(seconds)s
WHERE world_id = %(world_id)s AND owner = %(owner)s AND generation = %(generation)s
  AND expires_at > {DATABASE_NOW}
"""

# A world is born owned by the process that creates it, so its game master's room opens right there.
_ADOPT = f"""
INSERT INTO leases (world_id, owner, address, generation, expires_at)
VALUES (%(world_id)s, %(owner)s, %(address)s, 1, {DATABASE_NOW} + %(seconds)s)
RETURNING generation
"""

_RELEASE = "UPDATE leases SET expires_at = 0 WHERE owner = %(owner)s AND world_id = ANY(%(world_ids)s)"

_ADDRESS = f"SELECT address FROM leases WHERE world_id = %(world_id)s AND expires_at > {DATABASE_NOW}"


def _parameters(holder: Holder, **more) -> dict:
    return {"owner": holder.owner, "address": holder.address, "seconds": holder.seconds, **more}


def claim(connection: Connection, holder: Holder, limit: int, ahead: float = 0.0, status: str = "live") -> list[Lease]:
    """Takes up to `limit` worlds of `status` due within `ahead` seconds whose lease is free, soonest due
    first; commits, and returns them with their new generations."""
    with connection.transaction():
        rows = connection.execute(_CLAIM, _parameters(holder, limit=limit, ahead=ahead, status=status)).fetchall()
    return [Lease(world_id, generation) for world_id, generation in rows]


def renew(connection: Connection, holder: Holder) -> dict[str, int]:
    """Extends every live lease of `holder` that no append is writing under right now (an append extends
    its own); commits, and returns the worlds renewed with their generations."""
    with connection.transaction():
        rows = connection.execute(_RENEW, _parameters(holder)).fetchall()
    return dict(rows)


def adopt(connection: Connection, holder: Holder, world_id: str) -> Lease:
    """Inside the transaction that creates `world_id`: makes `holder` its first owner."""
    (generation,) = connection.execute(_ADOPT, _parameters(holder, world_id=world_id)).fetchone()
    return Lease(world_id, generation)


def hold(connection: Connection, holder: Holder, lease: Lease) -> bool:
    """Inside an append's transaction, before it writes: whether `holder` still owns the world under
    `lease`'s generation. True also extends the lease and locks it until the transaction ends."""
    cursor = connection.execute(_HOLD, _parameters(holder, world_id=lease.world_id, generation=lease.generation))
    return cursor.rowcount == 1


def release(connection: Connection, holder: Holder, world_ids: list[str]) -> None:
    """Gives up `holder`'s leases of `world_ids` at once (on suspension, on an orderly stop), so that
    another process may claim them without waiting for the expiry."""
    with connection.transaction():
        connection.execute(_RELEASE, _parameters(holder, world_ids=world_ids))


def address_of(connection: Connection, world_id: str) -> str | None:
    """Where the current owner of `world_id` is reached, or None when no lease on it is alive."""
    row = connection.execute(_ADDRESS, {"world_id": world_id}).fetchone()
    return row[0] if row else None
