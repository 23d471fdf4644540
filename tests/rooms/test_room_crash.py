"""A room killed with SIGKILL reopens from its last committed frame, with a chain that verifies; a room
whose world is deleted lets its clients go and stops."""

import asyncio
import json

import httpx
import pytest

from kest import chain, forensics, world
from kest.client import RoomClient, RoomClosed
from kest.server import ledger
from kest.server.store import RecordRow
from tests.rooms import wire
from tests.rooms.conftest import WORLD_ID, RoomServer

pytestmark = pytest.mark.anyio


@pytest.fixture
def crashing_server(tmp_path):
    server = RoomServer(tmp_path)
    server.start()
    yield server
    server.stop()


def _chain(server: RoomServer) -> dict:
    answer = httpx.get(
        f"{server.http}/worlds/{WORLD_ID}/chain", headers={"Authorization": f"Bearer {server.tokens['gm']}"}
    )
    return answer.json()


async def test_a_killed_room_reopens_from_its_last_committed_frame(crashing_server):
    server = crashing_server
    client = await RoomClient.join(server.url, server.tokens["aria"])
    states, seqs = {}, {}
    for turn in range(60):
        if turn % 2:
            await client.command("strike", "ogre")
        frame = await client.next_frame()
        states[frame.number] = client.state
        seqs.update({entry["seq"]: frame.number for entry in frame.commands})
    report = httpx.get(server.url.replace("ws:", "http:"), headers={"Authorization": f"Bearer {server.tokens['gm']}"})
    assert report.json()["commitLagP99Ms"] <= 250
    server.kill()
    server.start()

    exported = _chain(server)
    key = (server.data_dir / "server.key").read_text().strip()
    assert chain.verify(key, exported["records"], exported["genesis"], exported["seal"]) == []
    rows = [
        RecordRow(r["seq"], r["type"], json.dumps(r["payload"]), r["prevSig"], r["sig"]) for r in exported["records"]
    ]
    groups = [row for row in rows if row.type == ledger.FRAMES_RECORD]
    numbers = [frame["frame_number"] for row in groups for frame in json.loads(row.payload)["frames"]]
    assert numbers == list(range(1, len(numbers) + 1))  # every frame once, in order, none skipped
    committed = numbers[-1]

    last_seen = client.frame
    while client.counts["reconnects"] == 0:  # frames that arrived before the kill, then the way back
        frame = await client.next_frame()
        if client.counts["reconnects"] == 0:
            last_seen = frame.number
            states[frame.number] = client.state
    assert 0 <= last_seen - committed <= 10  # a frame is broadcast before it is committed, and lags little
    assert frame.number == committed + 1
    assert client.counts["rewinds"] == (last_seen > committed)  # frames the crash took back are dropped
    # The host's replay of its chain gives the state the client had at the committed frame.
    _, initial = world.default_world()
    replayed = ledger.replay(json.dumps(initial), rows[: rows.index(groups[-1]) + 1])
    assert forensics.diff_states(replayed, json.loads(states[committed])) == []
    for _ in range(5):
        await client.next_frame()
    assert client.desyncs == []
    await client.close()

    # A command of a committed frame sent again after the crash is still refused.
    replayed_seq = max(seq for seq, number in seqs.items() if number <= committed)
    socket, _ = await wire.join(server.url, server.tokens["aria"])
    await socket.send(json.dumps({"type": "command", "seq": replayed_seq, "actionId": "strike", "targetId": "ogre"}))
    refusal = await asyncio.wait_for(wire.next_of(socket, "error"), 5.0)
    assert (refusal["reason"], refusal["seq"]) == ("seq_taken", replayed_seq)
    await socket.close()


async def test_deleting_the_world_of_an_open_room_closes_it_and_it_stops(crashing_server):
    server = crashing_server
    player, _ = await wire.join(server.url, server.tokens["aria"])
    watcher = await RoomClient.join(server.url, server.tokens["watcher"])
    for _ in range(5):
        await wire.next_of(player, "frame")
        await watcher.next_frame()
    operator = {"Authorization": f"Bearer {server.tokens['operator']}"}
    deleted = httpx.delete(f"{server.http}/worlds/{WORLD_ID}", headers=operator)
    assert deleted.status_code == 200, deleted.text
    assert await asyncio.wait_for(wire.close_of(player), 5) == (4404, "the world was deleted")
    with pytest.raises(RoomClosed) as closed:
        while True:  # the frames sent before the deletion, then the close, after which it does not come back
            await watcher.next_frame()
    assert (closed.value.code, closed.value.reason) == (4404, "the world was deleted")
    report = httpx.get(f"{server.http}/worlds/{WORLD_ID}/room", headers=operator)
    assert report.json() == {"open": False}
    await asyncio.sleep(0.3)  # a tick or a commit still running would show in the log
    log = server.server.stop()
    assert "Traceback" not in log and "not committed" not in log
    assert f"room {WORLD_ID} closes at frame" in log
