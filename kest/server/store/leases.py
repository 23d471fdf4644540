"""Leases: which host process owns a world, on the database's clock.

Many `kest serve` processes share one PostgreSQL database. Each world is owned by at most one of them at
a time, through its row in `leases`:

    leases(world_id, owner, address, generation, expires_at)     (schema version 2)

- `owner` names a process (a random id drawn at start), `address` is where its clients reach it, so a
  process asked about a world it does not own can say where the world's room is.
- `expires_at` is on the database's clock (seconds since 1970, like the other times of the schema), so
  the hosts' own clocks never matter: a lease is alive while `expires_at > now` as the database says.
- `generation` grows by one every time the lease is taken: by another process, or again by its owner
  after it lapsed; never while it is renewed.

Taking worlds: `claim` takes due worlds whose lease has expired (or was released) in one
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

Lock order: `claim` and `renew` never wait for a row (SKIP LOCKED); `hold` and `take` wait, and only
behind another write of the same world, which a process holding a stale view of ownership can attempt. Two
such stale processes could wait for each other, as can two groups locking worlds' rows in opposite
orders; PostgreSQL's deadlock detector then aborts one transaction, and the store runs its group again.
"""

from dataclasses import dataclass

from psycopg import Connection

# The database's clock, in the schema's seconds since 1970. clock_timestamp() rather than now(): now()
# stands still for a whole transaction, and a batch of appends can outlast a lease.
DATABASE_NOW = "extract(epoch from clock_timestamp())"


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
    WHERE l.expires_at <= {DATABASE_NOW} AND w.status = 'live' AND w.next_epoch_at <= %(due_before)s
    ORDER BY w.next_epoch_at
    LIMIT %(limit)s
    FOR UPDATE OF l SKIP LOCKED
) AS due
WHERE l.world_id = due.world_id
RETURNING l.world_id, l.generation
"""

# The rows an append has locked are skipped, not waited for: that append extends them itself. The
# outer SELECT reads the leases as they were before the UPDATE, so it lists those too.
_RENEW = f"""
WITH renewed AS (
    UPDATE leases AS l SET expires_at = {DATABASE_NOW} + %(seconds)s
    FROM (
        SELECT world_id FROM leases WHERE owner = %(owner)s AND expires_at > {DATABASE_NOW}
        FOR UPDATE SKIP LOCKED
    ) AS held
    WHERE l.world_id = held.world_id
)
SELECT world_id, generation FROM leases WHERE owner = %(owner)s AND expires_at > {DATABASE_NOW}
"""

_HOLD = f"""
UPDATE leases SET expires_at = {DATABASE_NOW} + %(seconds)s
WHERE world_id = %(world_id)s AND owner = %(owner)s AND generation = %(generation)s
  AND expires_at > {DATABASE_NOW}
"""

# Unlike a claim this waits for a locked row: it is taken for one world a request is about, and the row
# lock it waits behind is an append's, after whose COMMIT the lease is alive again and refuses the take.
_TAKE = f"""
INSERT INTO leases AS l (world_id, owner, address, generation, expires_at)
VALUES (%(world_id)s, %(owner)s, %(address)s, 1, {DATABASE_NOW} + %(seconds)s)
ON CONFLICT (world_id) DO UPDATE
SET owner = excluded.owner, address = excluded.address, generation = l.generation + 1,
    expires_at = excluded.expires_at
WHERE l.expires_at <= {DATABASE_NOW}
RETURNING generation
"""

_RELEASE = "UPDATE leases SET expires_at = 0 WHERE owner = %(owner)s AND world_id = ANY(%(world_ids)s)"

_ADDRESS = f"""
SELECT address FROM leases WHERE world_id = %(world_id)s AND owner <> %(owner)s AND expires_at > {DATABASE_NOW}
"""


def _parameters(holder: Holder, **more) -> dict:
    return {"owner": holder.owner, "address": holder.address, "seconds": holder.seconds, **more}


def claim(connection: Connection, holder: Holder, due_before: float, limit: int) -> list[Lease]:
    """Takes up to `limit` live worlds due before `due_before` (the host's clock, like the worlds' due
    times) whose lease is free, soonest due first, each with a new generation."""
    rows = connection.execute(_CLAIM, _parameters(holder, due_before=due_before, limit=limit)).fetchall()
    return [Lease(world_id, generation) for world_id, generation in rows]


def renew(connection: Connection, holder: Holder) -> dict[str, int]:
    """Extends `holder`'s live leases that no append is writing under right now (an append extends its
    own) and returns every world `holder` still owns, with its generation."""
    return dict(connection.execute(_RENEW, _parameters(holder)).fetchall())


def take(connection: Connection, holder: Holder, world_id: str) -> Lease | None:
    """Makes `holder` the owner of `world_id` (a new world, a resumed one) unless another process's
    lease on it is alive; None then."""
    row = connection.execute(_TAKE, _parameters(holder, world_id=world_id)).fetchone()
    return Lease(world_id, row[0]) if row else None


def hold(connection: Connection, holder: Holder, lease: Lease) -> bool:
    """Inside an append's transaction, before it writes: whether `holder` still owns the world under
    `lease`'s generation. True also extends the lease and locks it until the transaction ends."""
    cursor = connection.execute(_HOLD, _parameters(holder, world_id=lease.world_id, generation=lease.generation))
    return cursor.rowcount == 1


def release(connection: Connection, holder: Holder, world_ids: list[str]) -> None:
    """Gives up `holder`'s leases of `world_ids` at once (on suspension, on an orderly stop), so that
    another process may take them without waiting for the expiry."""
    connection.execute(_RELEASE, _parameters(holder, world_ids=world_ids))


def address_of(connection: Connection, holder: Holder, world_id: str) -> str | None:
    """Where the current owner of `world_id` is reached, or None when no lease on it is alive or `holder`
    has it: a process never sends its clients to itself."""
    row = connection.execute(_ADDRESS, {"world_id": world_id, "owner": holder.owner}).fetchone()
    return row[0] if row else None
