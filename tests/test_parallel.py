"""Many bundles resumed at once: on worker processes and on a Dask cluster, with the same code and
the same outcomes as resuming them one by one."""

import json
import os
import pathlib
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest
from distributed import Client, LocalCluster

from kest import bundles, parallel

ROOT = pathlib.Path(__file__).resolve().parent.parent
KEY = "fleet key"


@pytest.fixture(scope="module")
def batch():
    inputs = parallel.sample_inputs(KEY, 3)
    tampered = json.loads(inputs[1])
    tampered["bundle"]["chainTail"][0]["payload"]["pcg_steps_consumed"] += 1
    inputs.append(bundles.resume_input(KEY, tampered["bundle"], tampered["currentEpoch"], tampered["maxCatchup"]))
    serial = [parallel.resume_one(text) for text in inputs]
    return inputs, serial


def test_serial_outcomes(batch):
    _, serial = batch
    assert [outcome.refusal for outcome in serial] == [None, None, None, "world-session: chain tamper detected in tail"]
    states = [json.loads(outcome.output)["state"] for outcome in serial[:3]]
    assert len({json.dumps(state, sort_keys=True) for state in states}) == 3, "each world rolls its own dice"


def test_process_pool(batch):
    inputs, serial = batch
    with ProcessPoolExecutor(max_workers=2) as pool:
        assert parallel.resume_batch(pool, inputs) == serial


def test_dask_cluster(batch):
    inputs, serial = batch
    with (
        LocalCluster(n_workers=2, processes=False, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        assert parallel.resume_batch(client, inputs) == serial


def test_the_example_runs():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [env.get("PYTHONPATH"), str(ROOT)]))
    command = [sys.executable, str(ROOT / "examples" / "parallel_resume.py"), "--worlds", "4"]
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert "process pool, 2 workers" in done.stdout
    assert "same outcomes as serial" in done.stdout
