"""A world's room settings as its game master sets them: checked, kept, and taken by an open room
at once, with clients that still predict every frame right."""

import asyncio

import httpx
import pytest

from kest.client import RoomClient
from tests.host_process import bearer
from tests.rooms import wire
from tests.rooms.conftest import WORLD_ID

pytestmark = pytest.mark.anyio


def _patch(room_server, token: str, room) -> httpx.Response:
    content = room if isinstance(room, bytes) else httpx.Request("PATCH", "/", json={"room": room}).content
    return httpx.patch(f"{room_server.http}/worlds/{WORLD_ID}", content=content, headers=bearer(token))


def _report(room_server) -> dict:
    return httpx.get(f"{room_server.http}/worlds/{WORLD_ID}/room", headers=bearer(room_server.tokens["gm"])).json()


@pytest.mark.parametrize(
    ("body", "words"),
    [
        ({"rate": 0}, "rate must be an integer from 1 to 60"),
        ({"rate": 61}, "rate must be an integer from 1 to 60"),
        ({"rate": 20.0}, "rate must be an integer"),
        ({"rate": True}, "rate must be an integer"),
        ({"rate": None}, "rate must be an integer"),
        ({"maxCommandsPerPlayer": -1}, "maxCommandsPerPlayer must be null (no cap) or an integer"),
        ({"maxCommands": "2"}, "maxCommands must be null (no cap) or an integer"),
        ({"maxCommands": 2**53}, "maxCommands must be null (no cap) or an integer"),
        ({"speed": 3}, '"speed" is not a room setting'),
        ([20], "room settings are an object"),
        (b"{rate: 20}", "the body: "),
        (b"[" * 2000 + b"]" * 2000, "the body: Nesting deeper than 127 levels"),
    ],
)
def test_bad_room_settings_are_refused_with_their_reason(room_server, body, words):
    answer = _patch(room_server, room_server.tokens["gm"], body)
    assert answer.status_code == 400 and words in answer.json()["error"]


@pytest.mark.parametrize(("who", "status"), [("aria", 403), ("watcher", 403), ("elsewhere", 403), ("no-such", 401)])
def test_only_the_world_game_master_sets_its_room(room_server, who, status):
    assert _patch(room_server, room_server.tokens[who], {"rate": 30}).status_code == status


async def test_an_open_room_takes_new_settings_at_once_and_clients_still_predict_right(room_server):
    client = await RoomClient.join(room_server.url, room_server.tokens["aria"])
    await client.next_frame()
    gm = room_server.tokens["gm"]
    assert _patch(room_server, gm, {"rate": 4}).status_code == 200
    assert _patch(room_server, gm, {"maxCommandsPerPlayer": 1}).status_code == 200
    report = _report(room_server)
    assert (report["rate"], report["maxCommandsPerPlayer"], report["maxCommands"]) == (4, 1, None)
    # Sent after the room took the cap, the commands are ticked with it; the client predicts them
    # with the cap it knew and learns the new one from their frame.
    seqs = [await client.command("strike", "ogre"), await client.command("heal", "aria")]
    while not (frame := await client.next_frame()).commands:
        pass
    assert [entry["seq"] for entry in frame.commands] == seqs
    assert [record.get("reason") for record in frame.event["commands_processed"]][1] == "rate_limited"
    loop = asyncio.get_running_loop()
    started = loop.time()
    for _ in range(3):
        await client.next_frame()
    assert loop.time() - started > 2 * 0.25  # four frames a second now
    assert client.desyncs == []
    described = httpx.get(f"{room_server.http}/openapi.json").json()["components"]["schemas"]
    assert set(_report(room_server)) == set(described["RoomReport"]["properties"])
    await client.close()


def test_serve_refuses_a_room_rate_out_of_range(tmp_path):
    from tests.host_process import Server

    with pytest.raises(RuntimeError, match="--room-rate: rate must be an integer from 1 to 60"):
        Server(tmp_path, "--room-rate", "61")


async def test_a_room_opens_with_the_settings_its_world_was_made_with(room_server):
    room = {"rate": 5, "maxCommands": 3}
    made = httpx.post(
        f"{room_server.http}/worlds",
        json={"worldId": "tempo", "settings": {"room": room}},
        headers=bearer(room_server.tokens["operator"]),
    )
    token = httpx.post(
        f"{room_server.http}/worlds/tempo/tokens",
        json={"role": "spectator"},
        headers=bearer(made.json()["gmToken"]),
    ).json()["token"]
    socket, welcome = await wire.join(room_server.url.replace(WORLD_ID, "tempo"), token)
    assert (welcome["rate"], welcome["maxCommands"], welcome["maxCommandsPerPlayer"]) == (5, 3, 4)
    await socket.close()
