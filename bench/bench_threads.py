"""Threads: the throughput of two threads calling the engine at once next to one thread making the
same calls alone. Each call releases the interpreter lock while it works, so on two free cores
the ratio nears 2; on a machine others share it falls with the cores they take."""

import json
import threading
import time

import worlds
from bench_epoch import RULESET, proposals
from timing import best_times

import kest_engine_native as k

KEY = "bench key"


def calls_on_threads(threads: int, calls: int, call) -> None:
    """`threads` threads each make `calls` calls, all starting together."""
    start = threading.Barrier(threads)

    def work():
        start.wait()
        for _ in range(calls):
            call()

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


def cores_busy(threads: int, calls: int, call) -> float:
    """The processor time the process got per second of wall-clock time while `threads` threads
    made their calls: 2 on two cores of its own, less when others share them."""
    wall, processor = time.perf_counter(), time.process_time()
    calls_on_threads(threads, calls, call)
    return (time.process_time() - processor) / (time.perf_counter() - wall)


def two_threads_over_one(label: str, call, calls: int, runs: int) -> list[tuple[str, str]]:
    one, two = best_times(runs, lambda: calls_on_threads(1, calls, call), lambda: calls_on_threads(2, calls, call))
    return [
        (f"{label}, one thread (calls/s)", f"{calls / one:.1f}"),
        (f"{label}, two threads (calls/s)", f"{2 * calls / two:.1f}"),
        (f"{label}: two threads / one (target 1.6 or more)", f"{2 * one / two:.2f}"),
        (f"{label}: cores busy with two threads (2 when free)", f"{cores_busy(2, calls, call):.2f}"),
    ]


def hashing(size: float, calls: int, runs: int) -> list[tuple[str, str]]:
    text = json.dumps(worlds.world(worlds.entities_for_bytes(size)), ensure_ascii=False)
    label = f"world_state_hash, {len(text.encode()) / 1e6:.1f} MB"
    return two_threads_over_one(label, lambda: k.world_state_hash(KEY, text), calls, runs)


def ticking(entities: int, actors: int, calls: int, runs: int) -> list[tuple[str, str]]:
    state = worlds.world(entities, actor_fraction=actors / entities)
    text = json.dumps(
        {"worldId": "bench", "epochNumber": 1, "state": state, "ruleset": RULESET, "proposals": proposals(state)}
    )
    assert json.loads(k.tick_epoch(text))["resolved"] == actors
    label = f"tick_epoch, {entities} entities, {actors} checks"
    return two_threads_over_one(label, lambda: k.tick_epoch(text), calls, runs)


def run(quick: bool) -> list[tuple[str, str]]:
    if quick:
        return hashing(0.35e6, 4, 3) + ticking(2_000, 80, 4, 3)
    return hashing(3.5e6, 8, 5) + ticking(20_000, 800, 4, 5)
