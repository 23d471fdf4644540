"""Suspended worlds caught up after an outage on a local Dask cluster sharing the host's database."""

import time
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")

from test_host_crash import check_history  # noqa: E402

from kest import jsontext  # noqa: E402
from kest.server import catchup  # noqa: E402
from kest.server.app import close_service, open_service  # noqa: E402
from kest.server.config import ServerConfig  # noqa: E402

EPOCH_SECONDS = 0.05


def test_suspended_worlds_are_caught_up_on_a_dask_cluster_and_left_suspended(tmp_path, postgres_url):
    host = open_service(ServerConfig(tmp_path, postgres_url))
    world_ids = [f"asleep-{number}" for number in range(6)]
    for world_id in world_ids:
        host.create(world_id, settings={"epochSeconds": EPOCH_SECONDS})
        host.suspend(world_id)
    host.create("awake", settings={"epochSeconds": EPOCH_SECONDS})  # a server's live world: not the batch's
    time.sleep(EPOCH_SECONDS * 10)  # the outage: every world misses epochs
    try:
        with distributed.LocalCluster(n_workers=2, processes=False, dashboard_address=None) as cluster:
            with distributed.Client(cluster) as client:
                pending = catchup.suspended_worlds(str(tmp_path), postgres_url)
                outcomes = catchup.catch_up(client, str(tmp_path), postgres_url, [*pending, "awake"], per_task=2)
    finally:
        catchup.close_services()
        close_service(host)
    assert pending == world_ids
    *caught_up, awake = outcomes
    assert awake.output is None and "live" in awake.refusal
    for world_id, outcome in zip(world_ids, caught_up, strict=True):
        summary = jsontext.loads(outcome.output)
        assert summary["status"] == "suspended" and summary["epoch"] >= 10, summary
        check_history(Path(tmp_path), world_id, [], postgres_url)
