"""Bad input on a room connection: each answered on that connection, the room going on."""

import json

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
