"""Threads calling every function at once get exactly what the same calls give one after another:
the module shares nothing between calls, and it releases the interpreter lock while it works
without letting go of its arguments, its failures or its memory."""

import ctypes
import gc
import json
import sys
import threading
import time

import pytest
from test_hostile import JSON_ARGUMENTS
from test_leaks import PAGE, resident_bytes
from workloads import outcome, refusals, successes

import kest_engine_native as k

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


def run_together(jobs: list) -> list:
    """Runs every job on a thread of its own, all starting at once; their results in order."""
    start = threading.Barrier(len(jobs))
    results = [None] * len(jobs)

    def run(index: int):
        start.wait()
        results[index] = jobs[index]()

    workers = [threading.Thread(target=run, args=(index,)) for index in range(len(jobs))]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return results


# Hostile documents, each given to every JSON argument of every function.
HOSTILE = {
    "deep nesting": "[" * 100_000 + "]" * 100_000,
    "huge string": '{"s": "' + "ß" * 4_000_000 + '"',
    "malformed": '{"entities": {"a": {"properties": {"hp": 1,}}}}',
    "huge number": "1" + "0" * 400,
    "lone surrogate escape": '{"a": "\\ud800"}',
}


@pytest.mark.parametrize("document", HOSTILE.values(), ids=HOSTILE)
def test_hostile_inputs_from_many_threads_fail_as_they_do_alone(frequent_thread_switches, document):
    calls = [(name, call, (document,)) for name, (call, _) in JSON_ARGUMENTS.items()]
    alone = [outcome(call) for call in calls]
    assert all(kind == "ValueError" for kind, _ in alone)
    # Half the threads meet the hostile document while the other half run valid calls beside them.
    valid = successes(2)
    jobs = [lambda: [outcome(call) for call in calls], lambda: [outcome(call) for call in valid]] * 3
    for thread, seen in enumerate(run_together(jobs)):
        assert seen == (alone if thread % 2 == 0 else [outcome(call) for call in valid]), f"thread {thread}"


def test_a_failure_in_one_thread_never_reaches_another(frequent_thread_switches):
    refused, succeeded = refusals(3), successes(3)
    expected_refused = [outcome(call) for call in refused]
    expected_succeeded = [outcome(call) for call in succeeded]

    def refusing():
        return [outcome(call) for _ in range(ROUNDS) for call in refused]

    def succeeding():
        seen = []
        for _ in range(ROUNDS):
            for call in succeeded:
                seen.append(outcome(call))
                seen.append(sys.exc_info())  # nothing pending or being handled after a success
        return seen

    jobs = [refusing, succeeding] * 4
    for thread, seen in enumerate(run_together(jobs)):
        if thread % 2 == 0:
            assert seen == expected_refused * ROUNDS, f"thread {thread}"
        else:
            assert seen == [item for o in expected_succeeded for item in (o, (None, None, None))] * ROUNDS


def test_memory_stays_flat_over_many_threaded_calls():
    calls = successes(4) + refusals(4)

    def work():
        for call in calls:
            outcome(call)

    def round_of_threads():
        run_together([work] * 4)

    for _ in range(3):  # allocator pools and the threads' own stacks settle
        round_of_threads()
    gc.collect()
    before = resident_bytes()
    for _ in range(30):
        round_of_threads()
    gc.collect()
    grown = resident_bytes() - before
    assert grown <= 256 * PAGE, f"resident memory grew by {grown} bytes over {30 * 4 * len(calls)} calls"


def test_other_threads_run_python_while_the_engine_works():
    state = json.dumps({"entities": {f"e{n}": {"properties": {"hp": n}, "tags": ["t"]} for n in range(150_000)}})
    counted = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        before, start = counted[0], time.perf_counter()
        time.sleep(0.05)
        rate = (counted[0] - before) / (time.perf_counter() - start)  # counts a second with the lock free
        before, start = counted[0], time.perf_counter()
        k.world_state_hash("key", state)
        during = (counted[0] - before) / (time.perf_counter() - start)
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(interval)
    # Holding the lock, the call would let the counter run one switch interval at most, under 1% of
    # the call; without it the counter shares the processors with the engine.
    assert during > rate / 10, f"counted {during:.0f}/s during the call, {rate:.0f}/s with the lock free"


def test_arguments_stay_alive_when_the_callers_keyword_dict_changes():
    """A caller in C may pass its own keyword dict; another thread replacing the texts in it while
    the engine reads them without the lock must not free them under the engine."""
    # Texts that differ all along, so that one read while it is overwritten hashes as neither or
    # does not parse.
    states = [
        json.dumps({"entities": {f"e{n}": {"name": letter * 30, "tags": ["t"]} for n in range(20_000)}})
        for letter in "xyz"
    ]
    hashes = {k.world_state_hash("key", state) for state in states}
    options = {"key": "key", "state_json": states[0]}
    call_with_dict = ctypes.pythonapi.PyObject_Call
    call_with_dict.restype = ctypes.py_object
    call_with_dict.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    stop = threading.Event()

    def replace():
        n = 0
        while not stop.is_set():
            n += 1
            # A new object each time, and the old one dies. Three texts, so that freed memory taken
            # again soon gets another text than it held.
            options["state_json"] = states[n % 3] + " "

    replacer = threading.Thread(target=replace)
    replacer.start()
    try:
        seen = {call_with_dict(k.world_state_hash, (), options) for _ in range(30)}
    finally:
        stop.set()
        replacer.join()
    assert seen <= hashes
