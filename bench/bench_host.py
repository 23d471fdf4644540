"""The reference host: durable epoch ticks of many small worlds (synchronous=FULL), one tick of a
5,000-entity world beside the engine's own cost on the same input, proposals filed over HTTP by
a separate process of asyncio clients, and resuming worlds suspended for 1,000 epochs.

    python bench/bench_host.py [--quick] [--seconds S] [--clients N] [--rate R]
    python bench/bench_host.py --db postgresql [--quick]

With --db postgresql it starts a PostgreSQL server of the system's packages (durable: fsync on) and
measures durable ticks of many small worlds there with one host process and with two sharing the
database, beside the same ticks on SQLite.
"""

import argparse
import asyncio
import concurrent.futures
import json
import pathlib
import subprocess
import sys
import tempfile
import time

from timing import best_times
from worlds import ATTACK, actors, world

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.append(str(ROOT))
sys.path.append(str(ROOT / "tests"))
import kest_engine_native as k  # noqa: E402
from kest.frames import split_tick_output  # noqa: E402
from kest.server.scheduler import TICK_THREADS  # noqa: E402
from kest.server.settings import Settings, stored_settings  # noqa: E402
from kest.server.store import open_store  # noqa: E402
from kest.server.worlds import WorldService, proposals_object  # noqa: E402
from kest.server.writer import GroupWriter  # noqa: E402

KEY = "0123456789abcdef" * 4


class Clock:
    def __init__(self):
        self.now = 1_000_000.0

    def __call__(self):
        return self.now


def open_host(folder: str, clock: Clock, epoch_seconds=1.0, max_catchup=1000, database=None) -> WorldService:
    store = open_store(database or str(pathlib.Path(folder) / "host.db"))
    return WorldService(store, GroupWriter(store), KEY, Settings(epoch_seconds, max_catchup, None, None, {}), clock)


def close_host(service: WorldService) -> None:
    service.writer.close()
    service.store.close()


def percentile(samples: list[float], share: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def many_small_worlds(worlds: int, epochs: int) -> list[tuple[str, str]]:
    clock = Clock()
    with tempfile.TemporaryDirectory() as folder:
        service = open_host(folder, clock)
        for number in range(worlds):
            service.create(f"small-{number}")
        clock.now += epochs
        ids = service.store.reads().world_ids()
        start = time.perf_counter()
        # As the clock does: worlds side by side on its threads, their commits grouped.
        with concurrent.futures.ThreadPoolExecutor(TICK_THREADS) as pool:
            ticked = sum(pool.map(service.advance, ids))
        elapsed = time.perf_counter() - start
        close_host(service)
    return [
        ("small worlds: workload", f"{worlds} default worlds x {epochs} epochs, synchronous=FULL"),
        ("small worlds: durable ticks per second (at least 500)", f"{ticked / elapsed:.0f}"),
    ]


def tick_owned_worlds(service: WorldService) -> int:
    """Ticks due worlds as a host process's clock does, claiming them on the way, till none is due."""
    ticked = 0
    with concurrent.futures.ThreadPoolExecutor(TICK_THREADS) as pool:
        while due := service.store.reads().due_worlds(service.clock(), 64):
            ticked += sum(pool.map(service.advance, due))
    return ticked


def tick_worker_main(database: str, now: str) -> None:
    clock = Clock()
    clock.now = float(now)
    service = open_host("", clock, database=database)  # connected before the clock starts, as a server is
    print("ready", flush=True)
    sys.stdin.readline()  # wait for the others
    print(tick_owned_worlds(service), flush=True)
    close_host(service)


def ticks_on_postgres(database: str, worlds: int, epochs: int, processes: int) -> float:
    """Durable ticks a second of `processes` host processes sharing `database` (a fresh one)."""
    clock = Clock()
    service = open_host("", clock, database=database)
    for number in range(worlds):
        service.create(f"small-{number}")
    close_host(service)  # hands the new worlds' leases back: they are the workers' to claim
    command = [sys.executable, __file__, "--tick-worker", database, str(clock.now + epochs)]
    workers = [
        subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for _ in range(processes)
    ]
    for worker in workers:
        assert worker.stdout.readline() == "ready\n"
    start = time.perf_counter()
    for worker in workers:
        worker.stdin.write("go\n")
        worker.stdin.flush()
    ticked = sum(int(worker.stdout.readline()) for worker in workers)
    elapsed = time.perf_counter() - start
    for worker in workers:
        worker.communicate()
    return ticked / elapsed


def postgres_ticks(worlds: int, epochs: int) -> list[tuple[str, str]]:
    from postgres_server import PostgresServer

    # Two processes share the work only when there is more than one claim's worth of it (a process
    # claims up to 64 due worlds at a time): they are compared with one on four times the worlds.
    shared = 4 * worlds
    with PostgresServer(durable=True) as server:
        one = ticks_on_postgres(server.create_database(), worlds, epochs, 1)
        one_shared = ticks_on_postgres(server.create_database(), shared, epochs, 1)
        two_shared = ticks_on_postgres(server.create_database(), shared, epochs, 2)
    sqlite = float(many_small_worlds(worlds, epochs)[1][1])
    return [
        ("postgresql small worlds: workload", f"{worlds} default worlds x {epochs} epochs, fsync on"),
        ("postgresql: durable ticks per second, one process", f"{one:.0f}"),
        ("sqlite: durable ticks per second, one process", f"{sqlite:.0f}"),
        ("postgresql / sqlite, one process (at least 0.5)", f"{one / sqlite:.2f}"),
        ("postgresql shared worlds: workload", f"{shared} default worlds x {epochs} epochs, fsync on"),
        ("postgresql: durable ticks per second, one process", f"{one_shared:.0f}"),
        ("postgresql: durable ticks per second, two processes", f"{two_shared:.0f}"),
        ("postgresql: two processes / one (at least 0.9)", f"{two_shared / one_shared:.2f}"),
    ]


def big_world_tick(runs: int) -> list[tuple[str, str]]:
    entities = 5_000
    state = world(entities, actor_fraction=200 / entities)
    acting = actors(state)
    ids = list(state["entities"])
    orders = {actor: {"actionId": "attack", "targetId": ids[(i * 7 + 1) % len(ids)]} for i, actor in enumerate(acting)}
    clock = Clock()
    with tempfile.TemporaryDirectory() as folder:
        service = open_host(folder, clock)
        service.create("big", state=state, ruleset={"attack": ATTACK}, settings={"standingOrders": orders})
        row = service.row("big")
        stored = stored_settings(row.settings)
        tick_input = service._tick_input(row, stored, 1, proposals_object(stored.standing_orders, []))

        def engine_only():
            event, _ = split_tick_output(k.tick_epoch(tick_input))
            k.sign_record(KEY.encode(), 0, "EpochResolved", event, row.head_sig)

        def host_tick():
            clock.now += 1
            assert service.tick("big") is not None

        engine, host = best_times(runs, engine_only, host_tick)
        close_host(service)
    return [
        ("big world: workload", f"{entities} entities, {len(acting)} proposals, {len(tick_input) / 1e6:.1f} MB"),
        ("big world: tick_epoch + sign_record (ms)", f"{engine * 1e3:.1f}"),
        ("big world: one durable tick through the host (ms)", f"{host * 1e3:.1f}"),
        ("big world: host / engine (at most 2)", f"{host / engine:.2f}"),
    ]


def resumes(worlds: int, gap: int) -> list[tuple[str, str]]:
    clock = Clock()
    times = []
    with tempfile.TemporaryDirectory() as folder:
        service = open_host(folder, clock, epoch_seconds=1.0, max_catchup=gap)
        for number in range(worlds):
            service.create(f"sleeper-{number}")
            service.suspend(f"sleeper-{number}")
        clock.now += gap + 0.5
        for number in range(worlds):
            start = time.perf_counter()
            row = service.resume(f"sleeper-{number}")
            times.append(time.perf_counter() - start)
            assert row.epoch == gap
        close_host(service)
    return [
        ("resume: workload", f"{worlds} default worlds suspended for {gap} epochs, maxCatchup {gap}"),
        ("resume: p99 (s, at most 2)", f"{percentile(times, 0.99):.3f}"),
    ]


class Connection:
    """A bare HTTP/1.1 keep-alive connection: a load generator built on a full HTTP client spends
    more time per request than the server under test, and measures itself."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, host: str, token: str):
        self._reader, self._writer = reader, writer
        self._head = f"Host: {host}\r\nAuthorization: Bearer {token}\r\nContent-Type: application/json\r\n"

    @classmethod
    async def open(cls, url: str, token: str) -> "Connection":
        host = url.removeprefix("http://")
        name, port = host.rsplit(":", 1)
        reader, writer = await asyncio.open_connection(name, int(port))
        return cls(reader, writer, host, token)

    async def post(self, path: str, body: bytes) -> tuple[int, bytes]:
        self._writer.write(f"POST {path} HTTP/1.1\r\n{self._head}Content-Length: {len(body)}\r\n\r\n".encode() + body)
        head = await self._reader.readuntil(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        length = next(int(line.split(":")[1]) for line in lines if line.lower().startswith("content-length:"))
        return int(lines[0].split()[1]), await self._reader.readexactly(length)

    def close(self) -> None:
        self._writer.close()


async def _offer(url: str, token: str, clients: int, rate: float, seconds: float) -> dict:
    """`clients` clients each filing `rate` proposals a second on a timer for `seconds`. A
    latency runs from the moment the timer meant the request to leave, so that a late client
    does not hide the server's delay."""
    latencies, refused = [], []
    entities = ["aria", "brom", "cael", "gob-1", "gob-2", "ogre"]
    connections = [await Connection.open(url, token) for _ in range(clients)]

    async def client(number: int, connection: Connection) -> None:
        start = time.perf_counter() + number / clients / rate  # the loop's own clock ticks in milliseconds
        for sent in range(int(seconds * rate)):
            due = start + sent / rate
            await asyncio.sleep(max(0.0, due - time.perf_counter()))
            body = {
                "entityId": entities[number % len(entities)],
                "actionId": "strike",
                "targetId": "ogre",
                "clientId": f"{number}-{sent}",
                "epoch": 2,
            }
            status, answer = await connection.post("/worlds/load/proposals", json.dumps(body).encode())
            latencies.append(time.perf_counter() - due)
            if status != 202:
                refused.append(answer.decode())

    await asyncio.gather(*(client(number, connection) for number, connection in enumerate(connections)))
    for connection in connections:
        connection.close()
    return {"sent": len(latencies), "refused": len(refused), "p99": percentile(latencies, 0.99), "sample": refused[:3]}


def offer_main(url: str, token: str, clients: int, rate: float, seconds: float) -> None:
    import uvloop

    print(json.dumps(uvloop.run(_offer(url, token, clients, rate, seconds))))


def http_proposals(clients: int, rate: float, seconds: float) -> list[tuple[str, str]]:
    import httpx
    from host_process import Server

    with tempfile.TemporaryDirectory() as folder:
        server = Server(pathlib.Path(folder))
        try:
            made = httpx.post(
                server.url + "/worlds",
                headers={"Authorization": f"Bearer {server.tokens['operator']}"},
                json={"worldId": "load", "settings": {"epochSeconds": 3600}},
            )
            assert made.status_code == 201, made.text
            # Every proposal names epoch 2 of a world whose epochs last an hour: none is ever refused as late.
            command = [sys.executable, __file__, "--offer", server.url, server.tokens["operator"]]
            command += [str(clients), str(rate), str(seconds)]
            result = json.loads(subprocess.run(command, capture_output=True, text=True, check=True).stdout)
        finally:
            server.stop()
    offered = clients * rate
    return [
        ("proposals: workload", f"{clients} clients x {rate:g}/s for {seconds:g} s ({offered:g} offered a second)"),
        ("proposals: acknowledged / sent", f"{result['sent'] - result['refused']} / {result['sent']}"),
        ("proposals: p99 latency (ms, at most 50)", f"{result['p99'] * 1e3:.1f}"),
    ]


def run(quick: bool, seconds: float = 60.0, clients: int = 200, rate: float = 5.0) -> list[tuple[str, str]]:
    rows = many_small_worlds(50 if quick else 500, 4 if quick else 10)
    rows += big_world_tick(5 if quick else 10)
    rows += resumes(3 if quick else 20, 1000)
    rows += http_proposals(clients, rate, seconds)
    return rows


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--tick-worker":
        tick_worker_main(*sys.argv[2:4])
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--offer":
        url, token, clients, rate, seconds = sys.argv[2:7]
        offer_main(url, token, int(clients), float(rate), float(seconds))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--rate", type=float, default=5.0, help="proposals a second per client")
    parser.add_argument("--db", choices=["sqlite", "postgresql"], default="sqlite")
    args = parser.parse_args()
    if args.db == "postgresql":
        rows = postgres_ticks(50 if args.quick else 500, 4 if args.quick else 10)
    else:
        rows = run(args.quick, args.seconds, args.clients, args.rate)
    for name, value in rows:
        print(f"{name}: {value}")


if __name__ == "__main__":
    main()
