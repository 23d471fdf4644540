"""Crash safety of the host against real server processes: killed with SIGKILL under load and
restarted, and two processes on one database. Afterwards every acknowledged proposal is in its
tick's stored input or still pending, the chain verifies from the world's genesis with no seq
skipped or repeated, and the stored state is the host's replay of the chain."""

import collections
import random
import threading
import time

import httpx
import pytest

pytest.importorskip("starlette")

from host_process import Server, bearer  # noqa: E402

from kest import chain, jsontext  # noqa: E402
from kest.server import ledger  # noqa: E402
from kest.server.store import open_store  # noqa: E402

ENTITIES = ["aria", "brom", "cael", "gob-1", "gob-2", "ogre"]
TARGETS = ["aria", "ogre", "gob-1", "gob-2"]


class Load:
    """One thread per entity files proposals, each for its own later epoch, and notes what was
    acknowledged, and how many answers of each other status came."""

    def __init__(self, urls: list[str], token: str, world_id: str, earlier=()):
        self.acked: list[tuple[int, str, str]] = []
        self.refusals: collections.Counter = collections.Counter()
        # Epochs already filed for by an earlier load are not filed again (that would replace them).
        self._after = {entity: max((e for e, filer, _ in earlier if filer == entity), default=0) for entity in ENTITIES}
        self._urls, self._token, self._world = urls, token, world_id
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._file, args=(entity,)) for entity in ENTITIES]

    def __enter__(self):
        for thread in self._threads:
            thread.start()
        return self

    def __exit__(self, *failure):
        self._stop.set()
        for thread in self._threads:
            thread.join()

    def _file(self, entity: str) -> None:
        rng = random.Random(entity)
        epoch, attempt = None, 0
        with httpx.Client(headers=bearer(self._token), timeout=5) as client:
            while not self._stop.is_set():
                url = rng.choice(self._urls) + f"/worlds/{self._world}"
                try:
                    if epoch is None:
                        read = client.get(url)
                        if read.status_code != 200:
                            self.refusals[read.status_code] += 1
                            continue
                        epoch = max(read.json()["epoch"] + 2, self._after[entity] + 1)
                    body = {"entityId": entity, "actionId": "strike", "targetId": rng.choice(TARGETS)}
                    # A retry after a lost answer is a new filing: it replaces whatever the first one stored.
                    attempt += 1
                    body.update(epoch=epoch, clientId=f"{entity}-{attempt}")
                    response = client.post(url + "/proposals", json=body)
                except httpx.TransportError:
                    time.sleep(0.02)  # the server is down: this one was never acknowledged
                    continue
                if response.status_code == 202:
                    proposal = {"actionId": body["actionId"], "targetId": body["targetId"]}
                    self.acked.append((epoch, entity, jsontext.dumps(proposal)))
                    epoch += 1
                else:
                    self.refusals[response.status_code] += 1
                    if response.status_code == 409:
                        epoch = None  # the clock passed it: file later
                    else:
                        time.sleep(0.02)  # not filed (the storage failed): file it again


def check_history(data, world_id: str, acked, database: str | None = None) -> int:
    """Asserts the promises on the stored world (in `database`, by default the folder's SQLite file);
    returns its head seq."""
    key = (data / "server.key").read_text().strip()
    store = open_store(database or str(data / "host.db"))
    try:
        reads = store.reads()
        row = reads.world(world_id)
        pending = {(p.epoch, p.entity_id): p.proposal for p in reads.pending_proposals(world_id)}
        for epoch, entity, proposal in acked:
            if epoch <= row.epoch:
                assert jsontext.loads(reads.tick_input(world_id, epoch))[entity] == jsontext.loads(proposal)
            else:
                assert pending[(epoch, entity)] == proposal
        records = reads.records(world_id, -1, row.head_seq + 2)
        assert [record.seq for record in records] == list(range(row.head_seq + 1))
        values = [ledger.record_value(record) for record in records]
        assert chain.verify(key, values, ledger.genesis(world_id)) == []
        assert values[-1]["sig"] == row.head_sig
        replayed = ledger.replay(reads.snapshots(world_id)[0].state, records)
        # A suspended world's state is the snapshot taken when it was suspended.
        assert replayed == jsontext.loads(row.state or reads.snapshots(world_id)[-1].state)
        return row.head_seq
    finally:
        store.close()


def make_world(server: Server, world_id: str, seconds: float) -> None:
    made = httpx.post(
        server.url + "/worlds",
        headers=bearer(server.tokens["operator"]),
        json={"worldId": world_id, "settings": {"epochSeconds": seconds}},
    )
    assert made.status_code == 201, made.text


def test_sigkill_under_load_loses_nothing_acknowledged(tmp_path):
    rng = random.Random(25)
    server = Server(tmp_path)
    operator = server.tokens["operator"]
    make_world(server, "crash", 0.03)
    acked = []
    for _ in range(3):
        with Load([server.url], operator, "crash", acked) as load:
            time.sleep(rng.uniform(0.4, 0.9))
            server.kill()
        acked += load.acked
        assert set(load.refusals) <= {409}
        server = Server(tmp_path)
    server.stop()
    assert len(acked) > 20
    assert check_history(tmp_path, "crash", acked) > 10


def test_two_server_processes_on_one_database_never_fork_a_chain(tmp_path):
    first = Server(tmp_path)
    operator = first.tokens["operator"]
    make_world(first, "shared", 0.02)
    second = Server(tmp_path)
    with Load([first.url, second.url], operator, "shared") as load:
        time.sleep(1.5)
    first.stop()
    second.stop()
    assert set(load.refusals) <= {409}
    assert check_history(tmp_path, "shared", load.acked) > 20
