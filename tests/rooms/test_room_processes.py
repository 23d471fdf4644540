"""A world's room with two `kest serve` processes on one PostgreSQL database: played on the process that
owns the world wherever a client joins, and taken over by the other when its owner dies or loses the
world, from the last committed frame, with a chain that stays one line."""

import asyncio
import json
import os
import signal
import threading
import time

import httpx
import psycopg
import pytest

from kest.client import RoomClient
from kest.server import ledger
from kest.server.store import open_store
from tests.host_process import Server, bearer
from tests.rooms import wire
from tests.test_host_crash import check_history

pytestmark = pytest.mark.anyio

LEASE_SECONDS = 1.0
WORLD_ID = "duel"


def serve(data, database: str) -> Server:
    return Server(data, "--db", database, "--lease-seconds", str(LEASE_SECONDS), "--idle-seconds", "3600")


def room_url(server: Server) -> str:
    return f"ws://127.0.0.1:{server.port}/worlds/{WORLD_ID}/room"


def owner_of(database: str) -> str | None:
    """Where the owner of the world is reached, while its lease is alive."""
    with psycopg.connect(database) as connection:
        query = "SELECT address FROM leases WHERE world_id = %s AND expires_at > extract(epoch from clock_timestamp())"
        row = connection.execute(query, (WORLD_ID,)).fetchone()
    return row[0] if row else None


def make_world(server: Server) -> dict[str, str]:
    """The world, made on `server` (which so owns it), with no epoch due during a test; its players' tokens."""
    operator = server.tokens["operator"]
    status, made = server.call("POST", "/worlds", operator, {"worldId": WORLD_ID, "settings": {"epochSeconds": 3600}})
    assert status == 201, made
    tokens = {}
    for player in ("aria", "brom"):
        status, issued = server.call(
            "POST", f"/worlds/{WORLD_ID}/tokens", made["gmToken"], {"role": "player", "entityId": player}
        )
        assert status == 201, issued
        tokens[player] = issued["token"]
    return tokens


def committed_frames(database: str) -> list[int]:
    """The number of every frame in the world's chain, in the order of the records."""
    store = open_store(database)
    try:
        records = store.reads().records(WORLD_ID, -1, 100_000)
    finally:
        store.close()
    groups = [json.loads(record.payload) for record in records if record.type == ledger.FRAMES_RECORD]
    return [frame["frame_number"] for group in groups for frame in group["frames"]]


def check_chain(data, database: str) -> None:
    check_history(data, WORLD_ID, [], database)  # seqs unbroken, the chain verifies, the state is its replay
    numbers = committed_frames(database)
    assert numbers == list(range(1, len(numbers) + 1))  # every frame once, in order


async def play(client: RoomClient, frames: int) -> int:
    """Plays `frames` frames, a command every other one; the last frame's number."""
    for turn in range(frames):
        if turn % 2:
            await client.command("strike", "ogre")
        frame = await client.next_frame()
    return frame.number


async def test_a_room_is_played_on_its_owner_and_reopens_on_the_other_process_when_the_owner_dies(
    tmp_path, postgres_url
):
    owner = serve(tmp_path, postgres_url)
    other = serve(tmp_path, postgres_url)
    try:
        tokens = make_world(owner)
        # Asked on the other process, the room's report and a join both point at the owner.
        report = httpx.get(f"{other.url}/worlds/{WORLD_ID}/room", headers=bearer(tokens["aria"]))
        assert report.status_code == 307
        assert report.headers["location"] == f"{owner.url}/worlds/{WORLD_ID}/room"
        assert await asyncio.wait_for(wire.refused_join(room_url(other), tokens["brom"]), 5) == (4307, owner.url)

        client = await RoomClient.join(room_url(other), tokens["aria"])  # sent on to the owner
        await play(client, 30)
        assert (
            httpx.get(f"{owner.url}/worlds/{WORLD_ID}/room", headers=bearer(tokens["aria"])).json()["connections"] == 1
        )

        owner.kill()
        killed_at = time.monotonic()
        committed = committed_frames(postgres_url)[-1]  # read while the dead owner's lease still keeps the world
        while client.counts["reconnects"] == 0:  # the frames sent before the kill, then the way back
            frame = await client.next_frame()
        took = time.monotonic() - killed_at
        assert frame.number == committed + 1  # from the last committed frame, none skipped or repeated
        assert LEASE_SECONDS * 0.5 < took < LEASE_SECONDS + 5
        assert owner_of(postgres_url) == other.url
        await play(client, 10)
        assert client.desyncs == []
        await client.close()
    finally:
        owner.stop()
        other.stop()
    check_chain(tmp_path, postgres_url)


async def test_a_room_whose_process_lost_the_world_writes_nothing_and_sends_its_clients_to_the_new_owner(
    tmp_path, postgres_url
):
    owner = serve(tmp_path, postgres_url)
    other = serve(tmp_path, postgres_url)
    lines: list[str] = []
    threading.Thread(target=lambda: lines.extend(owner.process.stderr), daemon=True).start()
    try:
        tokens = make_world(owner)
        client = await RoomClient.join(room_url(owner), tokens["aria"])
        await play(client, 20)
        # Paused past its lease, the owner loses the world to the other process, which opens the room.
        os.kill(owner.process.pid, signal.SIGSTOP)
        try:
            while await asyncio.to_thread(owner_of, postgres_url) == owner.url:
                await asyncio.sleep(0.1)
            newcomer, welcome = await asyncio.wait_for(wire.join(room_url(other), tokens["brom"]), 5)
            assert welcome["type"] == "welcome"
        finally:
            os.kill(owner.process.pid, signal.SIGCONT)
        # Woken, the old owner's room finds out at its next commit and sends its client over.
        while client.counts["reconnects"] == 0:
            await client.next_frame()
        await play(client, 10)
        assert client.desyncs == [] and owner_of(postgres_url) == other.url
        await client.close()
        await newcomer.close()
    finally:
        owner.stop()
        other.stop()
    assert any(f"room {WORLD_ID} closes at frame" in line and f"{other.url} (4307)" in line for line in lines), lines
    assert not any("Traceback" in line for line in lines)
    check_chain(tmp_path, postgres_url)
