"""`kest serve` as an operator meets it: `make serve`, the first start's tokens shown once,
files it cannot use refused at start, idle worlds suspended by the clock and resumed by the next
request, and a full disk answered with a clear error while every acknowledged proposal is kept."""

import contextlib
import errno
import os
import subprocess
import sys
import time

import httpx
import pytest

pytest.importorskip("starlette")

from host_process import ROOT, Server, bearer  # noqa: E402

from kest.server.store import open_store  # noqa: E402


def test_make_serve_installs_first_then_serves():
    planned = subprocess.run(["make", "-n", "serve"], cwd=ROOT, capture_output=True, text=True, check=True).stdout
    lines = planned.strip().splitlines()
    assert lines[-1].endswith("kest serve")
    assert any("pip install" in line and ".whl" in line for line in lines[:-1])


def test_the_first_start_shows_the_tokens_once(tmp_path):
    first = Server(tmp_path)
    first.stop()
    assert set(first.tokens) == {"operator", "gm"}
    again = Server(tmp_path)
    try:
        assert again.tokens == {}
        assert httpx.get(again.url + "/worlds", headers=bearer(first.tokens["operator"])).status_code == 200
    finally:
        again.stop()


@pytest.mark.parametrize(
    ("name", "content", "words"),
    [
        ("host.db", b"not a database, only words" * 200, "file is not a database"),
        ("server.key", b"xyz\n", "server key"),
    ],
)
def test_a_file_that_cannot_be_used_stops_the_start_with_a_clear_error(tmp_path, name, content, words):
    (tmp_path / name).write_bytes(content)
    command = [sys.executable, "-m", "kest.cli", "serve", "--data", str(tmp_path), "--port", "1"]
    ran = subprocess.run(command, capture_output=True, text=True, timeout=30, env=dict(os.environ, PYTHONPATH=ROOT))
    assert ran.returncode == 1 and words in ran.stderr and "Traceback" not in ran.stderr, ran.stderr
    assert (tmp_path / name).read_bytes() == content


def statuses(server) -> dict:
    listed = httpx.get(server.url + "/worlds", headers=bearer(server.tokens["operator"]), timeout=10)
    return {world["worldId"]: world["status"] for world in listed.json()["worlds"]}


def test_the_clock_suspends_a_world_nobody_uses_and_the_next_request_resumes_it(tmp_path):
    server = Server(tmp_path, "--idle-seconds", "1")
    try:
        deadline = time.monotonic() + 15
        while statuses(server)["ashen-vale"] != "suspended":
            assert time.monotonic() < deadline, "the idle world was never suspended"
            time.sleep(0.2)
        read = httpx.get(server.url + "/worlds/ashen-vale", headers=bearer(server.tokens["gm"]), timeout=10)
        assert (read.status_code, read.json()["status"]) == (200, "live"), read.text
        assert read.json()["state"]["entities"]
    finally:
        assert "Traceback" not in server.stop()


@contextlib.contextmanager
def small_disk(folder, size="4m"):
    folder.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)], check=True)
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=True)


def fill(path) -> None:
    with open(path, "wb") as filler:
        try:
            while True:
                filler.write(b"\0" * 65536)
                filler.flush()
        except OSError as full:
            assert full.errno == errno.ENOSPC


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small disk needs root")
def test_a_full_disk_is_a_clear_error_and_every_acknowledged_proposal_is_kept(tmp_path):
    with small_disk(tmp_path / "disk") as disk:
        server = Server(disk / "data")
        player = bearer(server.tokens["gm"])
        acknowledged, refused = set(), []
        try:
            fill(disk / "filler")
            with httpx.Client(base_url=server.url, headers=player, timeout=10) as client:
                for number in range(900):  # epochs within the filing horizon
                    body = {"entityId": "aria", "actionId": "strike", "targetId": "ogre", "clientId": f"c{number}"}
                    answer = client.post("/worlds/ashen-vale/proposals", json={**body, "epoch": 10 + number})
                    if answer.status_code == 202:
                        acknowledged.add(10 + number)
                    else:
                        assert answer.status_code == 503, answer.text
                        refused.append(answer.json()["error"])
                        if len(refused) == 5:
                            break
                assert refused and all("disk is full" in error for error in refused), refused
                (disk / "filler").unlink()
                body = {"entityId": "aria", "actionId": "strike", "clientId": "after", "epoch": 9}
                assert client.post("/worlds/ashen-vale/proposals", json=body).status_code == 202
                acknowledged.add(9)
        finally:
            assert "Traceback" not in server.stop()
        store = open_store(str(disk / "data" / "host.db"))
        try:
            kept = {row.epoch for row in store.reads().pending_proposals("ashen-vale") if row.entity_id == "aria"}
        finally:
            store.close()
        assert acknowledged <= kept
