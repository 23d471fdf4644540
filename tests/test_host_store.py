"""The store protocol, run against every store this host has (each factory below opens one)."""

import sqlite3
import threading

import pytest

from kest.server.store import (
    LATEST,
    Outcome,
    ProposalRow,
    RecordRow,
    SnapshotRow,
    Stale,
    StoreError,
    WorldRow,
    open_store,
)


def sqlite_store(request, tmp_path):
    return open_store(str(tmp_path / "host.db"))


def postgres_store(request, tmp_path):
    return open_store(request.getfixturevalue("postgres_url"))


FACTORIES = [sqlite_store, postgres_store]


@pytest.fixture(params=FACTORIES, ids=lambda factory: factory.__name__)
def store(request, tmp_path):
    opened = request.param(request, tmp_path)
    yield opened
    opened.close()


def world_row(world_id="w", **changes) -> WorldRow:
    row = WorldRow(
        world_id=world_id,
        ruleset="{}",
        settings="{}",
        state='{"entities":{},"epoch":0}',
        state_hash="h0",
        epoch=0,
        frame=0,
        head_seq=-1,
        head_sig="g",
        genesis="g",
        filed=0,
        status="live",
        next_epoch_at=10.0,
        last_used_at=0.0,
        created_at=0.0,
    )
    for name, value in changes.items():
        setattr(row, name, value)
    return row


def record(seq: int) -> RecordRow:
    return RecordRow(seq, "EpochResolved", f'{{"epoch_number":{seq + 1}}}', f"s{seq - 1}", f"s{seq}")


def create(store, world_id="w"):
    [outcome] = store.write([lambda w: w.insert_world(world_row(world_id), SnapshotRow(0, "{}", "h0"))])
    assert outcome.failure is None


def tick(store, world_id="w", head=-1, filed=None):
    """Appends record head + 1 as a tick of epoch head + 2."""
    seq = head + 1
    row = world_row(world_id, head_seq=seq, head_sig=f"s{seq}", epoch=seq + 1, state=f'{{"epoch":{seq + 1}}}')
    return store.write([lambda w: w.append(row, head, filed, [record(seq)], [(seq + 1, "{}")])])[0]


def test_a_new_database_gets_the_latest_schema_and_a_newer_one_is_refused(tmp_path):
    path = str(tmp_path / "host.db")
    store = open_store(path)
    assert store.schema_version() == LATEST
    store.close()
    with sqlite3.connect(path) as raw:
        raw.execute("UPDATE schema_version SET version = ?", (LATEST + 1,))
    with pytest.raises(StoreError, match=f"schema version {LATEST + 1}.*version {LATEST}"):
        open_store(path)


def test_a_file_that_is_not_a_database_is_refused_with_its_name(tmp_path):
    path = tmp_path / "host.db"
    path.write_bytes(b"this is not a database, only some bytes " * 100)
    with pytest.raises(StoreError, match="host.db.*not a database"):
        open_store(str(path))


def test_uses_write_ahead_logging_and_full_synchronous_commits(tmp_path):
    store = open_store(str(tmp_path / "host.db"))
    store.close()
    with sqlite3.connect(tmp_path / "host.db") as raw:
        assert raw.execute("PRAGMA journal_mode").fetchone()[0] == "wal"


def test_a_failing_job_leaves_nothing_while_the_others_of_its_group_commit(store):
    def half_then_fail(writes):
        writes.insert_world(world_row("half"), SnapshotRow(0, "{}", "h"))
        raise ValueError("refused")

    outcomes = store.write(
        [
            lambda w: w.insert_world(world_row("a"), SnapshotRow(0, "{}", "h")),
            half_then_fail,
            lambda w: w.insert_world(world_row("b"), SnapshotRow(0, "{}", "h")),
        ]
    )
    assert [o.failure is None for o in outcomes] == [True, False, True]
    assert str(outcomes[1].failure) == "refused"
    assert store.reads().world_ids() == ["a", "b"]
    assert store.reads().snapshots("half") == []


def test_appends_check_the_head_they_were_computed_from(store):
    create(store)
    assert tick(store, head=-1).failure is None
    stale = tick(store, head=-1)  # computed from the old head: a second tick of epoch 1
    assert isinstance(stale.failure, Stale)
    assert tick(store, head=0).failure is None
    reads = store.reads()
    assert [r.seq for r in reads.records("w", -1, 10)] == [0, 1]
    assert reads.world("w").head_seq == 1
    assert reads.tick_input("w", 2) == "{}"


def test_the_records_key_refuses_a_second_record_of_one_seq(store):
    create(store)
    tick(store, head=-1)

    def fork(writes):
        # The head check passes (head 0), but seq 0 is taken: the key is what refuses it.
        writes.append(world_row(head_seq=1, head_sig="x"), 0, None, [record(0)], [])

    [outcome] = store.write([fork])
    assert isinstance(outcome.failure, Stale)
    assert store.reads().records("w", -1, 10)[0].sig == "s0"


def test_proposals_file_replace_and_repeat_and_count_as_writes(store):
    create(store)
    filings = [("c1", "a"), ("c1", "a"), ("c2", "b"), ("c2", "c")]
    statuses = []
    for client, action in filings:
        row = ProposalRow(1, "e1", client, f'{{"actionId":"{action}"}}')
        statuses.append(store.write([lambda w, row=row: w.file_proposal("w", row, 5.0)])[0].value)
    assert statuses == ["filed", "unchanged", "replaced", "unchanged"]
    [kept] = store.reads().proposals("w", 1, 1)
    assert (kept.client_id, kept.proposal) == ("c2", '{"actionId":"b"}')
    world = store.reads().world("w")
    assert (world.filed, world.last_used_at) == (2, 5.0)
    # A tick computed before the last proposal was filed is stale.
    assert isinstance(tick(store, head=-1, filed=1).failure, Stale)
    assert tick(store, head=-1, filed=2).failure is None
    assert store.reads().pending_proposals("w") == []


def test_the_head_comes_with_the_proposals_of_the_next_epoch_only(store):
    create(store)
    assert store.reads().head_and_next_proposals("nowhere") is None
    head, filed = store.reads().head_and_next_proposals("w")
    assert (head.epoch, head.filed, filed) == (0, 0, [])
    filings = [ProposalRow(epoch, entity, f"c{epoch}", "{}") for epoch in (1, 2) for entity in ("e2", "e1")]
    store.write([lambda w, row=row: w.file_proposal("w", row, 5.0) for row in filings])
    head, filed = store.reads().head_and_next_proposals("w")
    assert (head.epoch, head.filed) == (0, 4)
    assert [(row.epoch, row.entity_id) for row in filed] == [(1, "e1"), (1, "e2")]
    assert tick(store, head=-1, filed=4).failure is None
    head, filed = store.reads().head_and_next_proposals("w")
    assert (head.epoch, head.head_seq) == (1, 0)
    assert [(row.epoch, row.entity_id) for row in filed] == [(2, "e1"), (2, "e2")]


def test_suspend_and_release_move_the_world_between_its_row_and_its_bundle(store):
    create(store)
    [outcome] = store.write([lambda w: w.suspend("w", -1, '{"bundle":1}', SnapshotRow(0, "{}", "h"), 9.0)])
    assert outcome.failure is None
    reads = store.reads()
    assert (reads.world("w").status, reads.world("w").state, reads.bundle("w")) == ("suspended", None, '{"bundle":1}')
    assert isinstance(tick(store, head=-1).failure, Stale)  # a suspended world is not ticked
    assert store.write([lambda w: w.release_bundle(world_row(), 0, [], [])])[0].failure is None
    assert (reads.world("w").status, reads.bundle("w")) == ("live", None)


def test_prune_drops_records_and_snapshots_before_a_seq(store):
    create(store)
    for head in range(-1, 4):
        tick(store, head=head)
    assert store.write([lambda w: w.prune("w", 3)]) == [Outcome(3)]
    assert store.reads().first_seq("w") == 3
    assert store.reads().snapshots("w") == []


def test_due_and_idle_worlds(store):
    store.write(
        [
            lambda w, i=i: w.insert_world(
                world_row(f"w{i}", next_epoch_at=float(i), last_used_at=float(i)), SnapshotRow(0, "{}", "h")
            )
            for i in range(4)
        ]
    )
    assert store.reads().due_worlds(1.5, 10) == ["w0", "w1"]
    assert store.reads().idle_worlds(2.0, 10) == ["w0", "w1"]


def test_readers_on_other_threads_see_committed_writes(store):
    create(store)
    tick(store)
    seen = []
    thread = threading.Thread(target=lambda: seen.append(store.reads().world("w").head_seq))
    thread.start()
    thread.join()
    assert seen == [0]
