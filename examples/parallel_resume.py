"""A host with many suspended worlds resumes them in parallel: on the threads of one process with
`concurrent.futures.ThreadPoolExecutor`, across worker processes with `ProcessPoolExecutor` and,
with the same `resume_batch`, on a Dask cluster.

    python examples/parallel_resume.py [--worlds N] [--workers W] [--dask]

Each outcome is checked against a serial resume of the same bundle: the engine is pure, so where
a world is resumed changes nothing. The engine releases the interpreter lock while it works, so
threads share one process's memory and still use every core. Bundles as small as these take well
under a millisecond each, less than starting worker processes; the workers pay off with large
worlds and long chain tails.
"""

import argparse
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

from kest.parallel import resume_batch, resume_one, sample_inputs

KEY = "parallel-demo-key"


def timed(label: str, run):
    start = time.perf_counter()
    outcomes = run()
    print(f"{label:<36} {(time.perf_counter() - start) * 1000:8.1f} ms", end="")
    return outcomes


def compared(label: str, run, expected) -> bool:
    same = timed(label, run) == expected
    print("   same outcomes as serial" if same else "   OUTCOMES DIFFER from serial")
    return same


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
    parser.add_argument("--workers", type=int, default=2, help="threads or worker processes (default: %(default)s)")
    parser.add_argument("--dask", action="store_true", help="also resume the batch on a local Dask cluster")
    args = parser.parse_args()

    inputs = sample_inputs(KEY, args.worlds)
    serial = timed(f"{args.worlds} bundles resumed serially", lambda: [resume_one(text) for text in inputs])
    refused = [outcome.refusal for outcome in serial if outcome.refusal]
    print(f"   refused: {refused[0]}" if refused else "")
    with ThreadPoolExecutor(max_workers=args.workers) as pool:
        same = compared(f"thread pool, {args.workers} threads", lambda: resume_batch(pool, inputs), serial)
    with ProcessPoolExecutor(max_workers=args.workers) as pool:
        same &= compared(f"process pool, {args.workers} workers", lambda: resume_batch(pool, inputs), serial)
    if args.dask:
        same &= compared(f"Dask LocalCluster, {args.workers} workers", lambda: on_dask(args.workers, inputs), serial)
    return 0 if same and not refused else 1


if __name__ == "__main__":
    sys.exit(main())
