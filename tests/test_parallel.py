"""Many worlds resumed, ticked and caught up at once: on threads, on worker processes and on a Dask
cluster, with the same code and the same outcomes as running them one by one."""

import json
import os
import pathlib
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest
from distributed import Client, LocalCluster

from kest import parallel

ROOT = pathlib.Path(__file__).resolve().parent.parent
KEY = "fleet key"
WORLDS = 3


def with_refusal(inputs: list[str], spoil) -> list[str]:
    """The inputs followed by a spoiled copy of the second one, which the engine refuses."""
    spoiled = json.loads(inputs[1])
    spoil(spoiled)
    return [*inputs, json.dumps(spoiled)]


def tampered_tail(document: dict):
    document["bundle"]["chainTail"][0]["payload"]["pcg_steps_consumed"] += 1


def fractional_epoch(document: dict):
    document["epochNumber"] = 1.5


def missing_bound(document: dict):
    del document["maxCatchup"]


BATCHES = {
    "resume": (
        parallel.resume_batch,
        parallel.resume_one,
        lambda: with_refusal(parallel.sample_inputs(KEY, WORLDS), tampered_tail),
        "world-session: chain tamper detected in tail",
    ),
    "tick": (
        parallel.tick_epoch_batch,
        parallel.tick_one,
        lambda: with_refusal(parallel.sample_tick_inputs(WORLDS), fractional_epoch),
        "world-epoch: epochNumber must be an integer",
    ),
    "catch_up": (
        parallel.catch_up_batch,
        parallel.catch_up_one,
        lambda: with_refusal(parallel.sample_catch_up_inputs(WORLDS), missing_bound),
        "world-epoch: maxCatchup must be an integer",
    ),
}


@pytest.fixture(scope="module")
def serial_outcomes():
    outcomes = {}
    for name, (_, one, make_inputs, _) in BATCHES.items():
        inputs = make_inputs()
        outcomes[name] = inputs, [one(text) for text in inputs]
    return outcomes


@pytest.fixture(scope="module", params=["threads", "processes", "dask"])
def executor(request):
    if request.param == "threads":
        with ThreadPoolExecutor(max_workers=4) as pool:
            yield pool
    elif request.param == "processes":
        with ProcessPoolExecutor(max_workers=2) as pool:
            yield pool
    else:
        with (
            LocalCluster(n_workers=2, processes=False, dashboard_address=None) as cluster,
            Client(cluster) as client,
        ):
            yield client


@pytest.mark.parametrize("name", BATCHES)
def test_serial_outcomes(serial_outcomes, name):
    _, outcomes = serial_outcomes[name]
    refusal = BATCHES[name][3]
    assert [outcome.refusal for outcome in outcomes] == [None] * WORLDS + [refusal]
    states = [json.loads(outcome.output)["state"] for outcome in outcomes[:WORLDS]]
    assert len({json.dumps(state, sort_keys=True) for state in states}) == WORLDS, "each world rolls its own dice"


@pytest.mark.parametrize("per_task", [1, 3])
@pytest.mark.parametrize("name", BATCHES)
def test_a_batch_gives_the_serial_outcomes_in_order(executor, serial_outcomes, name, per_task):
    inputs, outcomes = serial_outcomes[name]
    batch = BATCHES[name][0]
    assert batch(executor, inputs, per_task=per_task) == outcomes


@pytest.mark.parametrize("per_task", [0, -1])
def test_a_task_runs_at_least_one_document(per_task):
    with ThreadPoolExecutor(max_workers=1) as pool, pytest.raises(ValueError, match="per_task must be at least 1"):
        parallel.tick_epoch_batch(pool, ["{}"], per_task=per_task)


EXAMPLES = {
    "parallel_resume.py": (["--worlds", "4"], ["thread pool, 2 threads", "process pool, 2 workers"]),
    "epoch_fleet.py": (["--worlds", "6", "--epochs", "3"], ["the same on 2 threads", "same states as serial"]),
}


@pytest.mark.parametrize("example", EXAMPLES)
def test_the_example_runs(example):
    arguments, expected = EXAMPLES[example]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [env.get("PYTHONPATH"), str(ROOT)]))
    command = [sys.executable, str(ROOT / "examples" / example), *arguments]
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    for line in expected:
        assert line in done.stdout
    assert "DIFFER" not in done.stdout
