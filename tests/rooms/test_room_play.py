"""Rooms played by real clients against a real server process: prediction and rollback, coming
back after a drop, a stalled client, and who may command what."""

import asyncio
import contextlib
import json
import random

import httpx
import pytest

from kest.client import RoomClient, RoomClosed
from tests.rooms import wire

pytestmark = pytest.mark.anyio

PLAYERS = ["aria", "brom", "cael"]
TARGETS = ["ogre", "gob-1", "gob-2", "aria"]


async def _play(client: RoomClient, rng: random.Random, count: int) -> list[int]:
    numbers = []
    for _ in range(count):
        if rng.random() < 0.7:
            # A pause of up to a period and a half: many commands reach the server after the frame
            # the client predicted them for, and players' commands arrive in any order.
            await asyncio.sleep(rng.random() * 0.075)
            await client.command(rng.choice(["strike", "heal"]), rng.choice(TARGETS))
        numbers.append((await client.next_frame()).number)
    return numbers


async def test_predicting_clients_reach_the_server_hash_at_every_frame(room_server):
    clients = [await RoomClient.join(room_server.url, room_server.tokens[name]) for name in PLAYERS]
    watcher = await RoomClient.join(room_server.url, room_server.tokens["watcher"])
    rng = random.Random(26)
    await asyncio.gather(*(_play(client, rng, 60) for client in clients), _play(watcher, rng, 0))
    for _ in range(60):
        await watcher.next_frame()
    for client in [*clients, watcher]:
        assert client.desyncs == [] and client.counts["duplicates"] == 0
        await client.close()
    assert sum(client.counts["predicted"] for client in clients) > 0
    assert sum(client.counts["rolledBack"] for client in clients) > 0


async def test_a_state_that_parts_from_the_server_is_reported_with_its_differences(room_server):
    client = await RoomClient.join(room_server.url, room_server.tokens["brom"])
    await client.next_frame()
    state = json.loads(client.state)
    state["entities"]["ogre"]["properties"]["hp"] += 1
    client.state = json.dumps(state)
    frame = await client.next_frame()
    [desync] = client.desyncs
    assert desync.frame == frame.number
    assert [str(finding) for finding in desync.findings] == [
        f"property changed /entities/ogre/properties/hp: {state['entities']['ogre']['properties']['hp']} -> "
        f"{state['entities']['ogre']['properties']['hp'] - 1}"
    ]
    await client.next_frame()  # back on the server's state: no further mismatch
    assert len(client.desyncs) == 1
    await client.close()


async def test_a_client_that_drops_and_comes_back_gets_every_frame_once(room_server):
    client = await RoomClient.join(room_server.url, room_server.tokens["cael"])
    numbers = [(await client.next_frame()).number]
    for drops, pause in enumerate((0.0, 1.2, 0.3), start=1):
        await asyncio.sleep(pause)  # frames go on while the client is away
        await client.drop()
        after = 0
        while client.counts["reconnects"] < drops or after < 10:
            numbers.append((await client.next_frame()).number)
            after += client.counts["reconnects"] == drops
            with contextlib.suppress(ConnectionError):  # frames read before the drop was noticed
                await client.command("strike", "gob-2")
    assert numbers == list(range(numbers[0], numbers[0] + len(numbers)))
    assert client.counts["reconnects"] == 3 and client.counts["duplicates"] == 0 and client.desyncs == []
    await client.close()


async def test_a_second_connection_with_the_same_token_replaces_the_first(room_server):
    first = await RoomClient.join(room_server.url, room_server.tokens["aria"])
    second = await RoomClient.join(room_server.url, room_server.tokens["aria"])
    with pytest.raises(RoomClosed) as closed:
        while True:
            await first.next_frame()
    assert closed.value.code == 4409
    await second.next_frame()
    await second.close()


async def test_a_stalled_client_is_cut_off_while_the_others_keep_the_rate(room_server):
    stalled, _ = await wire.join(room_server.url, room_server.tokens["watcher"])
    stalled.transport.pause_reading()  # reads nothing, acknowledges nothing
    client = await RoomClient.join(room_server.url, room_server.tokens["brom"], predict=False)
    await client.next_frame()
    started, first = asyncio.get_running_loop().time(), client.frame
    while asyncio.get_running_loop().time() - started < 3.0:
        await client.next_frame()
    assert client.frame - first >= 0.9 * 3.0 * client.rate
    stalled.transport.resume_reading()
    assert (await wire.close_of(stalled))[0] == 4408
    async with httpx.AsyncClient() as http:
        report = (
            await http.get(
                room_server.url.replace("ws:", "http:"),
                headers={"Authorization": f"Bearer {room_server.tokens['brom']}"},
            )
        ).json()
    assert report["open"] and report["stalledCut"] >= 1
    await client.close()


async def test_a_player_commands_only_its_own_entity(room_server):
    socket, welcome = await wire.join(room_server.url, room_server.tokens["aria"])
    assert welcome["playerId"] == "aria"
    await socket.send(
        json.dumps({"type": "command", "seq": 1, "actionId": "strike", "targetId": "ogre", "playerId": "ogre"})
    )
    while True:
        frame = await wire.next_of(socket, "frame")
        if frame["commands"]:
            break
    assert frame["commands"] == [{"actionId": "strike", "playerId": "aria", "seq": 1, "targetId": "ogre"}]
    [record] = frame["event"]["commands_processed"]
    assert record["player_id"] == "aria" and record["actor_id"] == "aria"
    await socket.close()
