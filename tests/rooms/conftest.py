"""A real server process for room tests: uvicorn serving rooms over a SQLite file on loopback."""

import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import time

import pytest

from tests.rooms.sqlite_room_host import create_world

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORLD_ID = "ashen-vale"
# token -> (role, world, entity)
TOKENS = {
    "aria-token": ("player", WORLD_ID, "aria"),
    "brom-token": ("player", WORLD_ID, "brom"),
    "cael-token": ("player", WORLD_ID, "cael"),
    "watcher-token": ("spectator", WORLD_ID, None),
    "elsewhere-token": ("player", "other-world", "aria"),
}


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RoomServer:
    def __init__(self, db: pathlib.Path):
        self.db = db
        self.port = _free_port()
        self.process: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"ws://127.0.0.1:{self.port}/worlds/{WORLD_ID}/room"

    def start(self) -> None:
        env = dict(os.environ, KEST_ROOM_DB=str(self.db), PYTHONPATH=str(ROOT))
        command = [sys.executable, "-m", "uvicorn", "--factory", "tests.rooms.sqlite_room_host:app"]
        command += ["--host", "127.0.0.1", "--port", str(self.port), "--log-level", "warning"]
        self.process = subprocess.Popen(command, env=env, cwd=ROOT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("the room server did not start")

    def kill(self) -> None:
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


def new_server(directory: pathlib.Path) -> RoomServer:
    world = json.loads((ROOT / "kest/data/world.json").read_text())
    ruleset = (ROOT / "kest/data/ruleset.json").read_text()
    db = directory / "rooms.db"
    create_world(str(db), WORLD_ID, json.dumps(world["state"]), ruleset, TOKENS)
    return RoomServer(db)


@pytest.fixture(scope="module")
def room_server(tmp_path_factory):
    server = new_server(tmp_path_factory.mktemp("rooms"))
    server.start()
    yield server
    server.stop()


@pytest.fixture
def anyio_backend():
    return "asyncio"
