"""A real `kest serve` process for room tests, on loopback, with the tokens the tests play with."""

import os
import pathlib
import signal
import socket
import subprocess
import sys
import time

import httpx
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORLD_ID = "ashen-vale"
OTHER_WORLD = "other-world"
PLAYERS = ("aria", "brom", "cael")


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RoomServer:
    """`kest serve` over its own data folder; a restart keeps the folder, the port and the tokens."""

    def __init__(self, data_dir: pathlib.Path):
        self.data_dir = data_dir
        self.port = _free_port()
        self.process: subprocess.Popen | None = None
        self.tokens: dict[str, str] = {"no-such": "0" * 64}

    @property
    def http(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def url(self) -> str:
        return f"ws://127.0.0.1:{self.port}/worlds/{WORLD_ID}/room"

    def start(self) -> None:
        command = [sys.executable, "-c", "import sys; from kest.cli import main; sys.exit(main())", "serve"]
        command += ["--data", str(self.data_dir), "--port", str(self.port)]
        env = dict(os.environ, PYTHONPATH=str(ROOT))
        self.process = subprocess.Popen(command, env=env, cwd=ROOT, stdout=subprocess.PIPE, text=True)
        printed = []
        while not printed or not printed[-1].startswith("kest host on"):
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError(f"kest serve did not start: {printed}")
            printed.append(line.strip())
        for line in printed:
            if line.startswith("operator token "):
                self.tokens["operator"] = line.split()[-1]
            elif line.startswith(f"world {WORLD_ID}: game-master token "):
                self.tokens["gm"] = line.split()[-1]
        self._wait_until_answering()
        if "watcher" not in self.tokens:
            self._issue_tokens()

    def _wait_until_answering(self) -> None:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                if httpx.get(f"{self.http}/health").status_code == 200:
                    return
            except httpx.TransportError:
                time.sleep(0.05)
        raise RuntimeError("kest serve is not answering")

    def _post(self, path: str, token: str, body: dict) -> dict:
        answer = httpx.post(f"{self.http}{path}", json=body, headers={"Authorization": f"Bearer {token}"})
        answer.raise_for_status()
        return answer.json()

    def _issue_tokens(self) -> None:
        gm = self.tokens["gm"]
        for player in PLAYERS:
            issued = self._post(f"/worlds/{WORLD_ID}/tokens", gm, {"role": "player", "entityId": player})
            self.tokens[player] = issued["token"]
        self.tokens["watcher"] = self._post(f"/worlds/{WORLD_ID}/tokens", gm, {"role": "spectator"})["token"]
        other_gm = self._post("/worlds", self.tokens["operator"], {"worldId": OTHER_WORLD})["gmToken"]
        issued = self._post(f"/worlds/{OTHER_WORLD}/tokens", other_gm, {"role": "player", "entityId": "aria"})
        self.tokens["elsewhere"] = issued["token"]

    def kill(self) -> None:
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        self.process.stdout.close()

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        self.process.stdout.close()


@pytest.fixture(scope="module")
def room_server(tmp_path_factory):
    server = RoomServer(tmp_path_factory.mktemp("kest-data"))
    server.start()
    yield server
    server.stop()


@pytest.fixture
def anyio_backend():
    return "asyncio"
