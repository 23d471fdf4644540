"""Thousands of calls of every function, successes and refusals alike, leave the process's memory
where it was: every result, exception and argument reference is released, on the Python heap and
on the native one."""

import gc
import sys
import time
import tracemalloc

import pytest
from workloads import outcome, refusals, successes

PAGE = 4096
SECONDS_PER_LOOP = 0.3
FEWEST_CALLS = 1000
MOST_CALLS = 20_000

CALLS = [*successes(1), *refusals(1)]
IDS = [label + ("" if n < len(successes(1)) else " refused") for n, (label, _, _) in enumerate(CALLS)]


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def warmed_up_repetitions(call) -> int:
    """Runs the call until allocator pools and caches have settled; then the number of calls that
    take about SECONDS_PER_LOOP, within bounds."""
    start = time.perf_counter()
    for _ in range(100):
        outcome(call)
    per_call = (time.perf_counter() - start) / 100
    return max(FEWEST_CALLS, min(MOST_CALLS, int(SECONDS_PER_LOOP / per_call)))


@pytest.mark.parametrize("call", CALLS, ids=IDS)
def test_results_exceptions_and_arguments_are_released(call):
    repetitions = warmed_up_repetitions(call)
    # Texts, bytes and lists passed in; small integers and None are shared with the whole interpreter.
    arguments = [argument for argument in call[2] if isinstance(argument, str | bytes | list)]
    references = [sys.getrefcount(argument) for argument in arguments]
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(repetitions):
            outcome(call)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # One object of the smallest size kept per call would add 16 bytes times the repetitions.
    assert grown < 16 * FEWEST_CALLS, f"{grown} bytes of Python objects kept after {repetitions} calls"
    assert [sys.getrefcount(argument) for argument in arguments] == references


@pytest.mark.parametrize("call", CALLS, ids=IDS)
def test_native_memory_stays_flat(call):
    repetitions = warmed_up_repetitions(call)
    gc.collect()
    before = resident_bytes()
    for _ in range(repetitions):
        outcome(call)
    gc.collect()
    grown = resident_bytes() - before
    assert grown <= 64 * PAGE, f"resident memory grew by {grown} bytes over {repetitions} calls"
