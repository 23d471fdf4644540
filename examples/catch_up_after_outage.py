"""After an outage, thousands of suspended worlds have missed epochs. Instead of making each world's
first visitor wait for its catch-up, a Dask cluster catches them all up at once, reading and writing the
host's own PostgreSQL database and taking the same leases as its `kest serve` processes.

    python examples/catch_up_after_outage.py --db postgresql://... [--data DIR] [--worlds N] [--workers W]

It makes N suspended worlds in the database (the host's folder DIR holds the server key), lets a few of
their epochs pass as the outage, then catches them up on a local cluster of W workers and says how long
that took. On a real cluster, pass the scheduler's address to `distributed.Client` instead, and mount DIR
on every worker.
"""

import argparse
import time
from pathlib import Path

from distributed import Client, LocalCluster

from kest.server import catchup
from kest.server.app import close_service, open_service
from kest.server.config import ServerConfig

EPOCH_SECONDS = 0.5


def make_suspended_worlds(data: Path, database: str, count: int) -> None:
    service = open_service(ServerConfig(data, database))
    try:
        for number in range(count):
            world_id = f"outage-{number:05d}"
            service.create(world_id, settings={"epochSeconds": EPOCH_SECONDS})
            service.suspend(world_id)
    finally:
        close_service(service)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--db", required=True, help="the host's PostgreSQL database URL")
    parser.add_argument("--data", default="kest-data", help="the host's folder, with its server key")
    parser.add_argument("--worlds", type=int, default=2000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    data = Path(args.data)
    make_suspended_worlds(data, args.db, args.worlds)
    time.sleep(EPOCH_SECONDS * 4)
    cluster = LocalCluster(n_workers=args.workers, processes=True, dashboard_address=None)
    with cluster, Client(cluster) as client:
        world_ids = catchup.suspended_worlds(str(data), args.db)
        started = time.perf_counter()
        outcomes = catchup.catch_up(client, str(data), args.db, world_ids, per_task=50)
        seconds = time.perf_counter() - started
    catchup.close_services()
    refused = [outcome.refusal for outcome in outcomes if outcome.refusal]
    print(f"{len(world_ids) - len(refused)} worlds caught up in {seconds:.1f} s on {args.workers} workers")
    for refusal in refused[:5]:
        print("left alone:", refusal)


if __name__ == "__main__":
    main()
