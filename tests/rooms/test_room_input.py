"""Bad input on a room connection: each answered on that connection, the room going on."""

import asyncio
import contextlib
import json
import os
import pathlib
import socket as socket_module

import pytest
import websockets

from tests.rooms import wire

pytestmark = pytest.mark.anyio

_NESTED = "[" * 200 + "]" * 200


@pytest.mark.parametrize(
    ("token", "text", "reason", "seq"),
    [
        ("aria", "{not json", "bad_json", None),
        ("aria", '{"type":"command","seq":1,"actionId":' + _NESTED + "}", "bad_json", None),
        ("aria", '{"type":"teleport"}', "bad_message", None),
        ("aria", '{"type":"command","seq":2.5,"actionId":"strike"}', "bad_seq", None),
        ("aria", '{"type":"command","seq":9007199254740992,"actionId":"strike"}', "bad_seq", None),
        ("aria", '{"type":"command","seq":3,"actionId":"dance"}', "unknown_action", 3),
        ("aria", '{"type":"command","seq":4,"actionId":"strike","targetId":"__proto__"}', "unknown_target", 4),
        ("aria", '{"type":"command","seq":5,"actionId":"strike","targetId":"nobody"}', "unknown_target", 5),
        ("aria", '{"type":"command","seq":6,"actionId":"e\\u0301"}', "unknown_action", 6),
        ("watcher", '{"type":"command","seq":7,"actionId":"strike"}', "not_a_player", 7),
        ("aria", '{"type":"state","frame":0}', "state_not_kept", None),
    ],
)
async def test_a_refused_message_is_answered_and_the_connection_goes_on(room_server, token, text, reason, seq):
    socket, _ = await wire.join(room_server.url, room_server.tokens[token])
    await socket.send(text)
    error = await wire.next_of(socket, "error")
    assert error["reason"] == reason and error.get("seq") == seq
    before = (await wire.next_of(socket, "frame"))["frame"]
    assert (await wire.next_of(socket, "frame"))["frame"] == before + 1
    await socket.close()


async def test_a_seq_is_taken_once_and_a_repeat_is_answered(room_server):
    socket, _ = await wire.join(room_server.url, room_server.tokens["brom"])
    command = json.dumps({"type": "command", "seq": 40, "actionId": "strike", "targetId": "ogre"})
    await socket.send(command)
    await socket.send(command)
    error = await wire.next_of(socket, "error")
    assert (error["reason"], error["seq"]) == ("seq_taken", 40)
    taken = []
    while not taken:
        frame = await wire.next_of(socket, "frame")
        taken = [entry for entry in frame["commands"] if entry["playerId"] == "brom"]
    assert taken == [{"actionId": "strike", "playerId": "brom", "seq": 40, "targetId": "ogre"}]
    await socket.close()


@pytest.mark.parametrize(
    ("token", "first", "code"),
    [
        ("elsewhere", None, 4403),
        ("no-such", None, 4401),
        ("aria", '{"type":"ack","frame":1}', 4400),
        ("aria", "[]", 4400),
    ],
)
async def test_a_bad_join_is_closed_with_its_code(room_server, token, first, code):
    socket = await websockets.connect(room_server.url)
    await socket.send(first or json.dumps({"type": "join", "token": room_server.tokens[token], "lastFrame": None}))
    assert (await wire.close_of(socket))[0] == code


@pytest.mark.parametrize(
    ("messages", "code"),
    [
        (['{"type":"ack","frame":0,"pad":"' + "x" * 5000 + '"}'], 1009),
        (['{"type":"ack","frame":0}'] * 400, 4429),
    ],
)
async def test_too_big_or_too_many_messages_close_only_that_connection(room_server, messages, code):
    socket, _ = await wire.join(room_server.url, room_server.tokens["cael"])
    other, _ = await wire.join(room_server.url, room_server.tokens["watcher"])
    for message in messages:
        await socket.send(message)
    assert (await wire.close_of(socket))[0] == code
    before = (await wire.next_of(other, "frame"))["frame"]
    assert (await wire.next_of(other, "frame"))["frame"] == before + 1
    await other.close()


def _holds_connection(pid: int, peer_port: int) -> bool:
    """Whether the process still has a socket of the TCP connection from `peer_port`."""
    sockets = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            sockets.add(os.readlink(f"/proc/{pid}/fd/{fd}"))
    for line in pathlib.Path(f"/proc/{pid}/net/tcp").read_text().splitlines()[1:]:
        fields = line.split()
        if int(fields[2].split(":")[1], 16) == peer_port and f"socket:[{fields[9]}]" in sockets:
            return True
    return False


async def test_a_client_that_never_reads_is_cut_off_and_its_socket_released(room_server):
    raw = socket_module.socket()
    raw.setsockopt(socket_module.SOL_SOCKET, socket_module.SO_RCVBUF, 4096)
    raw.connect(("127.0.0.1", room_server.port))
    client = await websockets.connect(room_server.url, sock=raw, max_size=None, ping_interval=None)
    await client.send(json.dumps({"type": "join", "token": room_server.tokens["watcher"], "lastFrame": None}))
    frame = json.loads(await client.recv())["frame"]
    while json.loads(await client.recv())["type"] != "frame":
        pass
    client.transport.pause_reading()
    # Whole states asked for and never read fill every buffer between the room and the client, so
    # not even the close frame can go out.
    for _ in range(190):
        await client.send(json.dumps({"type": "state", "frame": frame + 1}))
    server_pid, port = room_server.server.process.pid, raw.getsockname()[1]
    assert _holds_connection(server_pid, port)
    loop = asyncio.get_running_loop()
    deadline = loop.time() + 10.0  # cut after 2 s unacknowledged, 1 s for the close frame, 2 s to drain
    while _holds_connection(server_pid, port) and loop.time() < deadline:
        await asyncio.sleep(0.1)
    assert not _holds_connection(server_pid, port)
    client.transport.abort()
