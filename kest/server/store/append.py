"""An append on PostgreSQL as one statement: the lease, the head, the records, the tick inputs, the proposals.

Written as the host's queries are (see `Queries.append`), an append is six statements, each a round trip to
the server, and the one writer of a process does nothing else meanwhile. Here the same steps go in one
statement, whose parts see each other only through what they return, so each runs only if the one it
depends on matched:

    held     the lease row, locked, while this process owns the world under its generation and it has
             not expired (the lock keeps a claim off the world till the transaction ends)
    moved    the world's row as the new head, if held and its stored head (and count of proposal writes,
             when given) is still the one the records were computed from
    renewed  the lease, extended, if moved
    stored   the records, the tick inputs; the ticked epochs' proposals dropped, if moved

A concurrent change of the world's or the lease's row makes the statement wait for its COMMIT and then
look at the row as it is. An append that matched nothing has changed nothing (a lock is not a change), and
`(held, moved)` tells a lost lease from a moved head. The records' primary key stays the last guard.
"""

import json
from collections.abc import Sequence

from psycopg import Connection

from kest.server.store import RecordRow, WorldRow
from kest.server.store.leases import DATABASE_NOW, Holder, Lease
from kest.server.store.queries import APPENDED_WORLD_COLUMNS

_ASSIGNMENTS = ", ".join(f"{name} = %({name})s" for name in APPENDED_WORLD_COLUMNS)

_APPEND = f"""
WITH held AS (
    SELECT world_id FROM leases
    WHERE world_id = %(world_id)s AND owner = %(owner)s AND generation = %(generation)s
      AND expires_at > {DATABASE_NOW}
    FOR UPDATE
), moved AS (
    UPDATE worlds SET {_ASSIGNMENTS}
    WHERE world_id = (SELECT world_id FROM held) AND head_seq = %(expected_head_seq)s AND status = 'live'
      AND (%(expected_filed)s::bigint IS NULL OR filed = %(expected_filed)s::bigint)
    RETURNING world_id
), renewed AS (
    UPDATE leases SET expires_at = {DATABASE_NOW} + %(seconds)s WHERE world_id = (SELECT world_id FROM moved)
), stored_records AS (
    INSERT INTO records (world_id, seq, type, payload, prev_sig, sig)
    SELECT moved.world_id, (r->>0)::bigint, r->>1, r->>2, r->>3, r->>4
    FROM moved, json_array_elements(%(records)s::json) AS r
), stored_inputs AS (
    INSERT INTO tick_inputs (world_id, epoch, proposals)
    SELECT moved.world_id, (i->>0)::bigint, i->>1
    FROM moved, json_array_elements(%(inputs)s::json) AS i
    ON CONFLICT (world_id, epoch) DO UPDATE SET proposals = excluded.proposals
), dropped AS (
    DELETE FROM proposals WHERE world_id = (SELECT world_id FROM moved) AND epoch <= %(last_epoch)s
)
SELECT EXISTS (SELECT FROM held), EXISTS (SELECT FROM moved)
"""


def append(
    connection: Connection,
    holder: Holder,
    lease: Lease,
    world: WorldRow,
    expected_head_seq: int,
    expected_filed: int | None,
    records: Sequence[RecordRow],
    tick_inputs: Sequence[tuple[int, str]],
) -> tuple[bool, bool]:
    """Stores what `Queries.append` stores, under `lease`; returns whether the lease was held and whether
    the head was the expected one (both: stored; otherwise nothing was)."""
    parameters = {name: getattr(world, name) for name in APPENDED_WORLD_COLUMNS}
    parameters.update(
        world_id=world.world_id,
        owner=holder.owner,
        generation=lease.generation,
        seconds=holder.seconds,
        expected_head_seq=expected_head_seq,
        expected_filed=expected_filed,
        # The rows go as one JSON text each, not as arrays: psycopg adapts a list item by item in Python, on the
        # writer's thread, which every commit of the process waits for; a JSON text is one C call to make.
        records=json.dumps([[r.seq, r.type, r.payload, r.prev_sig, r.sig] for r in records], ensure_ascii=False),
        inputs=json.dumps(tick_inputs, ensure_ascii=False),
        last_epoch=max((epoch for epoch, _ in tick_inputs), default=None),
    )
    held, moved = connection.execute(_APPEND, parameters).fetchone()
    return held, moved
