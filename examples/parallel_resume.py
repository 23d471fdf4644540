"""A host with many suspended worlds resumes them in parallel: across worker processes with
`concurrent.futures.ProcessPoolExecutor` and, with the same `resume_batch`, on a Dask cluster.

    python examples/parallel_resume.py [--worlds N] [--workers W] [--dask]

Each outcome is checked against a serial resume of the same bundle: the engine is pure, so where
a world is resumed changes nothing.
"""

import argparse
import sys
import time
from concurrent.futures import ProcessPoolExecutor

from kest.parallel import resume_batch, resume_one, sample_inputs

KEY = "parallel-demo-key"


def timed(label: str, run, expected) -> None:
    start = time.perf_counter()
    outcomes = run()
    elapsed = time.perf_counter() - start
    verdict = "same outcomes as serial" if outcomes == expected else "OUTCOMES DIFFER from serial"
    print(f"{label:<34} {elapsed * 1000:8.1f} ms   {verdict}")
    if outcomes != expected:
        raise SystemExit(1)


def on_dask(workers: int, inputs: list[str]):
    from distributed import Client, LocalCluster

    with (
        LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        return resume_batch(client, inputs)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worlds", type=int, default=64, help="number of suspended worlds (default: %(default)s)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default: %(default)s)")
    parser.add_argument("--dask", action="store_true", help="also resume the batch on a local Dask cluster")
    args = parser.parse_args()

    inputs = sample_inputs(KEY, args.worlds)
    start = time.perf_counter()
    serial = [resume_one(text) for text in inputs]
    print(f"{args.worlds} bundles resumed serially          {(time.perf_counter() - start) * 1000:8.1f} ms")
    refused = [outcome.refusal for outcome in serial if outcome.refusal]
    if refused:
        print(f"refused: {refused[0]}")
        return 1
    with ProcessPoolExecutor(max_workers=args.workers) as pool:
        timed(f"process pool, {args.workers} workers", lambda: resume_batch(pool, inputs), serial)
    if args.dask:
        timed(f"Dask LocalCluster, {args.workers} workers", lambda: on_dask(args.workers, inputs), serial)
    return 0


if __name__ == "__main__":
    sys.exit(main())
