"""Eight threads calling every function at once, each with its own inputs, get exactly what the
same calls give one after another: the module shares nothing between calls."""

import sys
import threading

import pytest
from workloads import outcome, refusals, successes

THREADS = 8
ROUNDS = 3


@pytest.fixture
def frequent_thread_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_eight_threads_get_the_results_of_sequential_calls(frequent_thread_switches):
    calls = [successes(index) + refusals(index) for index in range(THREADS)]
    expected = [[outcome(call) for call in own] for own in calls]
    assert all(kind == "result" for kind, _ in (outcome(call) for call in successes(0)))
    assert not any(kind == "result" for kind, _ in (outcome(call) for call in refusals(0)))
    assert len({repr(outcomes) for outcomes in expected}) == THREADS, "every thread has inputs of its own"

    start = threading.Barrier(THREADS)
    seen = [[[None] * len(own) for _ in range(ROUNDS)] for own in calls]

    def run(thread: int):
        own = calls[thread]
        start.wait()
        for round_ in range(ROUNDS):
            # Each thread starts at another function, so that different functions run side by side.
            shift = (thread * 5 + round_) % len(own)
            for position in [*range(shift, len(own)), *range(shift)]:
                seen[thread][round_][position] = outcome(own[position])

    workers = [threading.Thread(target=run, args=(thread,)) for thread in range(THREADS)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()

    for thread in range(THREADS):
        for round_ in range(ROUNDS):
            assert seen[thread][round_] == expected[thread], f"thread {thread}, round {round_}"
