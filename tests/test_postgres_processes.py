"""Several `kest serve` processes on one PostgreSQL database, killed and paused at random moments.

Whatever happens to the processes, every chain stays one line: no seq skipped or repeated, every chain
verifies, every stored state is its chain's replay, and every acknowledged proposal is in its epoch's
tick input or still pending. A process that lost its worlds has its appends refused and sends clients
to the owner.
"""

import contextlib
import os
import random
import signal
import threading
import time

import httpx
import psycopg
import pytest

pytest.importorskip("starlette")

from host_process import Server, bearer  # noqa: E402
from postgres_server import PostgresServer  # noqa: E402
from test_host_crash import Load, check_history, make_world  # noqa: E402

from kest.server.store.postgres import WAIT_SECONDS  # noqa: E402

LEASE_SECONDS = 1.0


def serve(data, database: str) -> Server:
    # Nobody's world goes idle during a test: suspension is tested on its own.
    return Server(data, "--db", database, "--lease-seconds", str(LEASE_SECONDS), "--idle-seconds", "3600")


def owners(database: str) -> dict[str, str]:
    """Where the owner of each world with a live lease is reached."""
    with psycopg.connect(database) as connection:
        query = "SELECT world_id, address FROM leases WHERE expires_at > extract(epoch from clock_timestamp())"
        return dict(connection.execute(query).fetchall())


def epochs(server: Server, token: str, world_ids) -> dict[str, int]:
    return {
        world_id: httpx.get(f"{server.url}/worlds/{world_id}", headers=bearer(token)).json()["epoch"]
        for world_id in world_ids
    }


def test_three_servers_one_killed_at_random_moments_keep_every_chain_whole(tmp_path, postgres_url):
    rng = random.Random(28)
    servers = [serve(tmp_path, postgres_url) for _ in range(3)]
    operator = servers[0].tokens["operator"]
    world_ids = ["north", "south"]
    for world_id in world_ids:
        make_world(servers[0], world_id, 0.1)
    urls = [server.url for server in servers]  # the loads pick from this list, kept up to date
    loads = [Load(urls, operator, world_id) for world_id in world_ids]
    trials, close_at = 0, time.monotonic() + 45  # the trials stop early rather than make the suite slow
    try:
        with contextlib.ExitStack() as running:
            for load in loads:
                running.enter_context(load)
            while trials < 20 and time.monotonic() < close_at:
                time.sleep(rng.uniform(0.05, 0.6))
                victim = rng.randrange(3)
                servers[victim].kill()
                servers[victim] = serve(tmp_path, postgres_url)
                urls[victim] = servers[victim].url
                trials += 1
        # The last victim's worlds are taken over within a lease's time: every world moves on.
        before = epochs(servers[0], operator, world_ids)
        time.sleep(LEASE_SECONDS * 2 + 0.5)
        after = epochs(servers[0], operator, world_ids)
        assert all(after[world_id] > before[world_id] for world_id in world_ids)
    finally:
        for server in servers:
            server.stop()
    assert trials >= 10
    for world_id, load in zip(world_ids, loads, strict=True):
        assert set(load.refusals) <= {409}
        assert len(load.acked) > 10
        assert check_history(tmp_path, world_id, load.acked, postgres_url) > 20


@contextlib.contextmanager
def paused(server: Server):
    os.kill(server.process.pid, signal.SIGSTOP)
    try:
        yield
    finally:
        os.kill(server.process.pid, signal.SIGCONT)


def read_log(server: Server) -> list[str]:
    """The lines the server writes on standard error, gathered as they come."""
    lines: list[str] = []
    threading.Thread(target=lambda: lines.extend(server.process.stderr), daemon=True).start()
    return lines


def wait_until_owned(database: str, world_ids, address: str) -> None:
    give_up_at = time.monotonic() + 10
    while any(owners(database).get(world_id) != address for world_id in world_ids):
        assert time.monotonic() < give_up_at, (owners(database), address)
        time.sleep(0.1)


def test_a_server_paused_past_its_lease_has_its_appends_refused_and_sends_clients_to_the_owner(tmp_path, postgres_url):
    servers = [serve(tmp_path, postgres_url)]
    operator = servers[0].tokens["operator"]
    # Worlds so fast that their owner never catches up: it is most likely ticking when it is paused.
    world_ids = ["fast-0", "fast-1", "calm"]
    for world_id in world_ids:
        make_world(servers[0], world_id, 0.5 if world_id == "calm" else 0.001)
    servers.append(serve(tmp_path, postgres_url))
    logs = [read_log(server) for server in servers]
    try:
        for attempt in range(5):  # the owner passes back and forth, till a pause found it ticking
            owner = 0 if owners(postgres_url)["calm"] == servers[0].url else 1
            other = servers[1 - owner]
            with paused(servers[owner]):
                time.sleep(LEASE_SECONDS)
                wait_until_owned(postgres_url, world_ids, other.url)
            if attempt == 0:
                # The woken process may still think it owns the world; the database says otherwise.
                asked = httpx.post(f"{servers[owner].url}/worlds/calm/suspend", headers=bearer(operator))
                assert asked.status_code == 307, asked.text
                assert asked.json()["owner"] == other.url
                assert asked.headers["location"] == f"{other.url}/worlds/calm/suspend"
                followed = httpx.post(asked.headers["location"], headers=bearer(operator))
                assert followed.status_code == 200 and followed.json()["status"] == "suspended"
                httpx.post(f"{other.url}/worlds/calm/resume", headers=bearer(operator)).raise_for_status()
            time.sleep(0.5)
            # The ticks it was computing when paused reached the database after the lease had passed on.
            refused = [line for line in logs[owner] if "append refused: world fast-" in line]
            if refused:
                assert all(f"its owner is reached at {other.url}" in line for line in refused)
                break
        else:
            pytest.fail("no append of a process woken after its lease was refused")
    finally:
        for server in servers:
            server.stop()
    for world_id in world_ids:
        check_history(tmp_path, world_id, [], postgres_url)


def test_a_database_lost_mid_run_fails_requests_clearly_and_the_server_reconnects(tmp_path):
    # A database server of its own: the one the other tests share stays up.
    with PostgresServer() as database:
        url = database.create_database()
        server = serve(tmp_path, url)
        make_world(server, "steady", 0.1)
        try:
            with Load([server.url], server.tokens["operator"], "steady") as load:
                time.sleep(0.5)
                database.halt()
                time.sleep(WAIT_SECONDS * 2)  # past a request's wait for a connection
                during = dict(load.refusals)
                database.resume()
                acknowledged_before = len(load.acked)
                time.sleep(2)
        finally:
            log = server.stop()
        check_history(tmp_path, "steady", load.acked, url)
    # Refused as the storage's failure, in JSON, never as a crash; and served again once it is back.
    assert during.get(503, 0) > 0
    assert set(load.refusals) <= {409, 503}
    assert len(load.acked) > acknowledged_before
    assert "storage failed" in log and "Traceback" not in log
