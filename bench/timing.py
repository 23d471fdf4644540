"""Wall-clock timing for the benchmarks."""

import time


def best_times(runs: int, *calls) -> list[float]:
    """The best time of each call over `runs` rounds. The calls take turns within a round, so that
    a busy spell of the machine weighs on all of them alike."""
    best = [float("inf")] * len(calls)
    for _ in range(runs):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[i] = min(best[i], time.perf_counter() - start)
    return best
