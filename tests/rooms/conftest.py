"""A real `kest serve` process for room tests, on loopback, with the tokens the tests play with."""

import pathlib

import pytest

from tests.host_process import Server

WORLD_ID = "ashen-vale"
OTHER_WORLD = "other-world"
PLAYERS = ("aria", "brom", "cael")


class RoomServer:
    """`kest serve` over its own data folder, with the tokens the room tests play with; a restart
    (`kill` or `stop`, then `start`) keeps the folder, the port and the tokens."""

    def __init__(self, data_dir: pathlib.Path):
        self.data_dir = data_dir
        self.server: Server | None = None
        self.tokens: dict[str, str] = {"no-such": "0" * 64}

    @property
    def port(self) -> int:
        return self.server.port

    @property
    def http(self) -> str:
        return self.server.url

    @property
    def url(self) -> str:
        return f"ws://127.0.0.1:{self.server.port}/worlds/{WORLD_ID}/room"

    def start(self) -> None:
        if self.server is not None:
            self.server.start()
            return
        self.server = Server(self.data_dir)
        self.tokens.update(self.server.tokens)
        self._issue_tokens()

    def _post(self, path: str, token: str, body: dict) -> dict:
        status, answer = self.server.call("POST", path, token, body)
        assert status == 201, answer
        return answer

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
        self.server.kill()

    def stop(self) -> None:
        self.server.stop()


@pytest.fixture(scope="module")
def room_server(tmp_path_factory):
    server = RoomServer(tmp_path_factory.mktemp("kest-data"))
    server.start()
    yield server
    server.stop()


@pytest.fixture
def anyio_backend():
    return "asyncio"
