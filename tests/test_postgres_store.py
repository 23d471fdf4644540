"""The PostgreSQL store's own promises: leases between processes, row locks, and a database that goes away."""

import contextlib
import threading
import time

import psycopg
import pytest
from test_host_store import create, record, tick, world_row

from kest.server.store import LATEST, NotOwner, ProposalRow, SnapshotRow, StoreError, open_store
from kest.server.store import append as append_sql
from kest.server.store import leases as lease_sql
from kest.server.store.postgres import POOL_SIZE


@pytest.fixture
def stores(postgres_url):
    """Three processes' stores on one database, as three `kest serve` processes would open it."""
    opened = [open_store(postgres_url, lease_seconds=5.0, address=f"http://127.0.0.1:{8000 + n}") for n in range(3)]
    yield opened
    for store in opened:
        store.close()


def test_a_newer_schema_is_refused_with_both_versions_named(postgres_url):
    open_store(postgres_url).close()
    with psycopg.connect(postgres_url, autocommit=True) as raw:
        raw.execute("UPDATE schema_version SET version = %s", (LATEST + 1,))
    with pytest.raises(StoreError, match=f"schema version {LATEST + 1}.*version {LATEST}"):
        open_store(postgres_url)


def test_an_unreachable_database_is_refused_at_once_with_a_reason(tmp_path):
    with pytest.raises(StoreError, match="cannot reach PostgreSQL database nowhere"):
        open_store(f"postgresql:///nowhere?host={tmp_path}")


def test_a_world_is_written_by_its_owner_only_and_others_are_told_where_it_is(stores):
    first, second, _ = stores
    create(first)
    [outcome] = second.write([lambda w: w.append(world_row(head_seq=0), -1, None, [], [])])
    assert isinstance(outcome.failure, NotOwner)
    assert "http://127.0.0.1:8000" in str(outcome.failure)
    assert second.reads().due_worlds(100.0, 10) == []
    assert first.reads().due_worlds(100.0, 10) == ["w"]
    assert tick(first).failure is None


def test_a_room_owns_its_world_when_nobody_else_does_and_keeps_its_generation(postgres_url, stores):
    first, second, _ = stores
    creator = open_store(postgres_url)
    create(creator)
    creator.close()  # the lease is given back: the world is nobody's

    def generation() -> int:
        with psycopg.connect(postgres_url) as connection:
            return connection.execute("SELECT generation FROM leases WHERE world_id = 'w'").fetchone()[0]

    def own(store):
        return store.write([lambda w: w.own("w")])[0].failure

    assert own(first) is None
    taken = generation()
    assert own(first) is None and generation() == taken  # kept, not taken again
    assert isinstance(own(second), NotOwner)
    assert second.reads().owner_address("w") == "http://127.0.0.1:8000"
    assert first.reads().owner_address("w") is None
    assert tick(first).failure is None


def test_released_worlds_are_claimed_once_each_by_processes_claiming_at_once(postgres_url, stores):
    creator = open_store(postgres_url)
    creator.write([lambda w, i=i: w.insert_world(world_row(f"w{i:02}"), SnapshotRow(0, "{}", "h")) for i in range(60)])
    creator.close()  # an orderly stop gives the leases back
    seen: list[set[str]] = [set() for _ in stores]
    barrier = threading.Barrier(len(stores))

    def claim(index):
        barrier.wait()
        for _ in range(10):  # each call claims up to 7 more and lists (up to 7 of) the worlds it owns
            seen[index].update(stores[index].reads().due_worlds(100.0, 7))

    threads = [threading.Thread(target=claim, args=(index,)) for index in range(len(stores))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    with psycopg.connect(postgres_url) as connection:
        leases = connection.execute("SELECT owner, generation FROM leases").fetchall()
    owners = {store.holder.owner for store in stores}
    # Taken once at creation, then claimed exactly once: by one of the three.
    assert sorted(generation for _, generation in leases) == [2] * 60
    assert {owner for owner, _ in leases} <= owners
    assert sum(len(worlds) for worlds in seen) == len(set().union(*seen))


def test_a_lapsed_lease_passes_to_another_generation_and_the_old_owner_cannot_write(postgres_url):
    with psycopg.connect(postgres_url, autocommit=True) as connection:
        open_store(postgres_url).close()
        connection.execute("INSERT INTO worlds SELECT 'w', '{}', '{}', NULL, '', 0, 0, -1, '', '', 0, 'live', 0, 0, 0")
        old, new = lease_sql.Holder("old", "a", 0.3), lease_sql.Holder("new", "b", 0.3)
        first = lease_sql.take(connection, old, "w")
        assert lease_sql.claim(connection, new, 1.0, 10) == []  # alive: nothing to claim
        with connection.transaction():
            assert lease_sql.hold(connection, old, first)
            time.sleep(0.5)  # past the expiry, but the append's lock still stands
            with psycopg.connect(postgres_url, autocommit=True) as other:
                assert lease_sql.claim(other, new, 1.0, 10) == []
        time.sleep(0.4)
        assert lease_sql.renew(connection, old) == {}  # a lapsed lease is never renewed
        [second] = lease_sql.claim(connection, new, 1.0, 10)
        assert second.generation == first.generation + 1
        assert not lease_sql.hold(connection, old, first)
        assert lease_sql.address_of(connection, old, "w") == "b"
        assert lease_sql.address_of(connection, new, "w") is None  # never sent to itself


@pytest.mark.parametrize(
    "lapsed, expected_head, expected_filed, outcome",
    [
        (False, -1, None, (True, True)),
        (False, -1, 1, (True, True)),
        (False, 0, None, (True, False)),  # the head moved
        (False, -1, 0, (True, False)),  # a proposal was filed since
        (True, -1, None, (False, False)),  # the lease passed to another process
    ],
)
def test_an_append_stores_all_its_parts_only_under_the_lease_and_the_head_it_expects(
    postgres_url, lapsed, expected_head, expected_filed, outcome
):
    store = open_store(postgres_url)
    create(store)
    store.write([lambda w: w.file_proposal("w", ProposalRow(1, "e1", "c1", "{}"), 1.0)])
    store.close()  # hands the lease back
    ticked = world_row(head_seq=0, head_sig="s0", epoch=1, state='{"epoch":1}')
    with psycopg.connect(postgres_url, autocommit=True) as connection:
        old = lease_sql.Holder("old", "a", 5.0 if not lapsed else 0.2)
        lease = lease_sql.take(connection, old, "w")
        if lapsed:
            time.sleep(0.3)
            lease_sql.claim(connection, lease_sql.Holder("new", "b", 5.0), 100.0, 10)
        expires = connection.execute("SELECT expires_at FROM leases").fetchone()[0]
        got = append_sql.append(connection, old, lease, ticked, expected_head, expected_filed, [record(0)], [(1, "[]")])
        assert got == outcome
        stored = connection.execute(
            "SELECT head_seq, (SELECT count(*) FROM records), (SELECT count(*) FROM tick_inputs),"
            " (SELECT count(*) FROM proposals), (SELECT expires_at FROM leases) > %s FROM worlds",
            (expires,),
        ).fetchone()
    assert stored == ((0, 1, 1, 0, True) if outcome == (True, True) else (-1, 0, 0, 1, False))


def test_jobs_that_fail_before_changing_rows_leave_their_group_to_run_once(postgres_url):
    store = open_store(postgres_url)
    create(store)
    runs = []

    def counted(writes):
        runs.append("counted")
        return writes.head("w").head_seq

    def refused(writes):
        writes.world("w")
        raise ValueError("refused before writing")

    def wrote_then_refused(writes):
        writes.touch("w", 7.0)
        raise ValueError("refused after writing")

    first = store.write([counted, refused, counted])
    assert [outcome.value for outcome in first] == [-1, None, -1] and len(runs) == 2
    # A job that changed rows and then failed: the group runs again with savepoints, which undo its part only.
    second = store.write([counted, wrote_then_refused, lambda w: w.touch("w", 3.0)])
    assert str(second[1].failure) == "refused after writing" and len(runs) == 4
    assert store.reads().world("w").last_used_at == 3.0
    store.close()


def test_writes_go_on_while_reads_hold_every_pooled_connection(postgres_url):
    store = open_store(postgres_url)
    create(store)
    with contextlib.ExitStack() as borrowed:
        for _ in range(POOL_SIZE):
            borrowed.enter_context(store._connection())
        assert tick(store).failure is None  # the writer's connection is its own: no wait, no timeout
    store.close()


def test_a_proposal_filed_during_a_tick_waits_for_it_and_sees_the_epoch_it_resolved(postgres_url):
    store = open_store(postgres_url)
    create(store)
    ticking, seen = threading.Event(), []

    def slow_tick(writes):
        writes.append(world_row(head_seq=0, epoch=1), -1, None, [], [(1, "[]")])
        ticking.set()
        time.sleep(0.5)

    def file_after_checking_the_epoch(writes):
        seen.append(writes.world("w").epoch)
        return writes.file_proposal("w", ProposalRow(seen[0] + 1, "e1", "c1", "{}"), 1.0)

    thread = threading.Thread(target=store.write, args=([slow_tick],))
    thread.start()
    ticking.wait()
    # A second process files the proposal while the first one's tick is not yet committed.
    other = open_store(postgres_url)
    [outcome] = other.write([file_after_checking_the_epoch])
    thread.join()
    assert (outcome.value, seen) == ("filed", [1])
    other.close()
    store.close()


def test_a_dropped_connection_fails_one_request_clearly_and_the_store_reconnects(postgres_server, postgres_url):
    store = open_store(postgres_url)
    create(store)
    database = postgres_url.split("///")[1].split("?")[0]
    with psycopg.connect(postgres_server.url(), autocommit=True) as admin:
        # Returns once each session has ended, as after a restart of the server.
        admin.execute("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE datname = %s", (database,))
    assert store.reads().world("w").head_seq == -1  # the pool replaced the dropped connections
    assert tick(store).failure is None
    store.close()


def test_groups_of_two_processes_locking_worlds_in_opposite_orders_both_commit(postgres_url):
    first, second = open_store(postgres_url), open_store(postgres_url)
    first.write([lambda w, i=i: w.insert_world(world_row(f"w{i}"), SnapshotRow(0, "{}", "h")) for i in range(2)])
    both_locked_one = threading.Barrier(2)

    def file(world_id, client):
        def job(writes):
            writes.world(world_id)  # locks the world's row till the group ends
            with contextlib.suppress(threading.BrokenBarrierError):
                both_locked_one.wait(timeout=0.5)  # once: a group that runs again does not wait
            return writes.file_proposal(world_id, ProposalRow(1, "e1", client, "{}"), 1.0)

        return job

    groups = {first: [file("w0", "a"), file("w1", "a")], second: [file("w1", "b"), file("w0", "b")]}
    outcomes = {}
    threads = [threading.Thread(target=lambda s=s: outcomes.update({s: s.write(groups[s])})) for s in groups]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # The database aborted one group as deadlocked; it ran again after the other's COMMIT.
    assert sorted(outcome.value for outcomes_ in outcomes.values() for outcome in outcomes_) == [
        "filed",
        "filed",
        "replaced",
        "replaced",
    ]
    first.close()
    second.close()
