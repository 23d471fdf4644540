"""A host advances a fleet of worlds epoch after epoch on a thread pool: each epoch, one
`tick_epoch` per world through `tick_epoch_batch`, each world fed the state its last epoch returned.

    python examples/epoch_fleet.py [--worlds N] [--epochs E] [--threads T]

The engine releases the interpreter lock while it parses, resolves and writes, so the threads of
one process tick worlds side by side on every core, sharing its memory. The fleet is ticked once
serially and once on the pool, and the final states must agree: where a world is ticked changes
nothing.
"""

import argparse
import json
import sys
import time
from concurrent.futures import ThreadPoolExecutor

from kest import jsontext, parallel


def advance(fleet: list[dict], epochs: int, tick) -> list[dict]:
    """Ticks every world of `fleet` (tick_epoch documents of epoch 1) through `epochs` epochs with
    `tick`, a function from documents to outcomes; the documents of the last epoch's output."""
    for epoch in range(1, epochs + 1):
        documents = [{**world, "epochNumber": epoch} for world in fleet]
        outcomes = tick([jsontext.dumps(document) for document in documents])
        refused = next((outcome.refusal for outcome in outcomes if outcome.refusal), None)
        if refused:
            raise SystemExit(f"epoch {epoch} refused: {refused}")
        fleet = [
            {**world, "state": json.loads(outcome.output)["state"]}
            for world, outcome in zip(fleet, outcomes, strict=True)
        ]
    return fleet


def timed(label: str, run):
    start = time.perf_counter()
    result = run()
    print(f"{label:<40} {(time.perf_counter() - start) * 1000:8.1f} ms")
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worlds", type=int, default=200, help="number of worlds (default: %(default)s)")
    parser.add_argument("--epochs", type=int, default=5, help="epochs to advance (default: %(default)s)")
    parser.add_argument("--threads", type=int, default=2, help="threads of the pool (default: %(default)s)")
    args = parser.parse_args()

    fleet = [json.loads(text) for text in parallel.sample_tick_inputs(args.worlds)]
    serial = timed(
        f"{args.worlds} worlds x {args.epochs} epochs, serially",
        lambda: advance(fleet, args.epochs, lambda texts: [parallel.tick_one(text) for text in texts]),
    )
    with ThreadPoolExecutor(max_workers=args.threads) as pool:
        threaded = timed(
            f"the same on {args.threads} threads",
            lambda: advance(fleet, args.epochs, lambda texts: parallel.tick_epoch_batch(pool, texts)),
        )
    same = threaded == serial
    print("same states as serial" if same else "STATES DIFFER from serial")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
