"""Several host processes on one PostgreSQL database, killed and paused at random moments.

Whatever happens to the processes, every chain stays one line: no seq skipped or repeated, no epoch
resolved twice, every chain verifies, every stored state is its chain's replay, and every proposal
acknowledged for an epoch that has been resolved went into that epoch's tick.
"""

import os
import pathlib
import random
import signal
import subprocess
import sys
import time

import psycopg
import pytest
from test_host_worlds import KEY, chain_of, file

from kest import chain, jsontext
from kest.server import ledger
from kest.server.settings import Settings
from kest.server.store import open_store
from kest.server.worlds import WorldService
from kest.server.writer import GroupWriter

LEASE_SECONDS = 1.0
WORLDS = 6
WORKER = pathlib.Path(__file__).with_name("lease_worker.py")
ROOT = WORKER.parent.parent


def open_service(url: str) -> WorldService:
    store = open_store(url, lease_seconds=LEASE_SECONDS)
    return WorldService(store, GroupWriter(store), KEY, Settings(1.0, 64, None, None, {}))


def close(service: WorldService) -> None:
    service.writer.close()
    service.store.close()


class Workers:
    """Host processes by index, each started on the same database; their lease owner ids are kept."""

    def __init__(self, url: str):
        self._url = url
        self.processes: dict[int, subprocess.Popen] = {}
        self.owners: dict[int, str] = {}

    def start(self, index: int) -> None:
        environment = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
        process = subprocess.Popen(
            [sys.executable, str(WORKER), self._url, KEY, str(LEASE_SECONDS)],
            stdout=subprocess.PIPE,
            text=True,
            env=environment,
        )
        self.processes[index] = process
        self.owners[index] = process.stdout.readline().strip()
        assert self.owners[index], "the worker did not start"

    def kill(self, index: int) -> None:
        process = self.processes[index]
        process.kill()
        process.wait()

    def stop_all(self) -> None:
        for index, process in self.processes.items():
            if process.poll() is None:
                os.kill(process.pid, signal.SIGCONT)
                self.kill(index)


@pytest.fixture
def shared(postgres_url):
    """A database with a few fast worlds, and the processes started on it (all killed at the end)."""
    creator = open_service(postgres_url)
    for number in range(WORLDS):
        creator.create(f"w{number}", settings={"epochSeconds": 0.25})
    close(creator)  # which gives its leases back: the worlds are the processes' to claim
    service = open_service(postgres_url)  # a client's way in, to file proposals and read the chains
    workers = Workers(postgres_url)
    yield service, workers
    workers.stop_all()
    close(service)


def file_some(service: WorldService, acknowledged: dict, count: int) -> None:
    """Files proposals to random worlds as a client would, remembering what each acknowledgement said."""
    for _ in range(count):
        world_id, target = random.choice([f"w{n}" for n in range(WORLDS)]), random.choice(["ogre", "gob-1"])
        try:
            answer = file(service, world_id, "aria", "strike", target, client=f"c{random.random()}")
        except Exception:
            continue  # a refusal is not an acknowledgement
        acknowledged[(world_id, answer["epoch"])] = target


def assert_chains_are_whole(service: WorldService, acknowledged: dict) -> None:
    reads = service.store.reads()
    for number in range(WORLDS):
        world_id = f"w{number}"
        row = service.row(world_id)
        events = chain_of(service, world_id)
        assert [event["seq"] for event in events] == list(range(row.head_seq + 1))
        assert [event["payload"]["epoch_number"] for event in events] == list(range(1, row.epoch + 1))
        exported = service.export(world_id)
        assert chain.verify(KEY, exported["records"], exported["genesis"], exported["seal"]) == []
        first = reads.snapshots(world_id)[0]
        assert ledger.replay(first.state, service.stored_records(world_id)) == jsontext.loads(row.state)
    for (world_id, epoch), target in acknowledged.items():
        if epoch <= service.row(world_id).epoch:
            assert jsontext.loads(reads.tick_input(world_id, epoch))["aria"]["targetId"] == target


def test_three_processes_one_killed_at_random_moments(shared):
    service, workers = shared
    close_at = time.monotonic() + 40  # the trials stop early rather than make the suite slow
    for index in range(3):
        workers.start(index)
    acknowledged: dict = {}
    trials = 0
    while trials < 20 and time.monotonic() < close_at:
        file_some(service, acknowledged, random.randint(1, 5))
        time.sleep(random.uniform(0.05, 0.6))
        victim = random.randrange(3)
        workers.kill(victim)
        workers.start(victim)
        trials += 1
    epochs_before = {f"w{n}": service.row(f"w{n}").epoch for n in range(WORLDS)}
    # The victims' worlds are taken over within a lease's time: every world moves on.
    time.sleep(LEASE_SECONDS * 2 + 0.5)
    assert all(service.row(world_id).epoch > epoch for world_id, epoch in epochs_before.items())
    workers.stop_all()
    assert trials >= 10
    assert_chains_are_whole(service, acknowledged)


def test_a_process_paused_past_its_lease_loses_its_worlds(shared, postgres_url):
    service, workers = shared
    workers.start(0)
    time.sleep(0.5)  # the first takes every world
    workers.start(1)

    def leases() -> dict:
        with psycopg.connect(postgres_url) as connection:
            return {
                world: (owner, generation)
                for world, owner, generation in connection.execute("SELECT world_id, owner, generation FROM leases")
            }

    before = leases()
    paused = {world for world, (owner, _) in before.items() if owner == workers.owners[0]}
    assert paused
    os.kill(workers.processes[0].pid, signal.SIGSTOP)
    time.sleep(LEASE_SECONDS * 2.5)
    taken = leases()
    os.kill(workers.processes[0].pid, signal.SIGCONT)
    assert all(taken[world] == (workers.owners[1], before[world][1] + 1) for world in paused)
    acknowledged: dict = {}
    file_some(service, acknowledged, 10)
    time.sleep(LEASE_SECONDS)
    workers.stop_all()
    after = leases()
    # Whatever the woken process claimed since, it claimed anew: its old generations are gone for good.
    assert all(after[world][1] > before[world][1] for world in paused)
    assert_chains_are_whole(service, acknowledged)
