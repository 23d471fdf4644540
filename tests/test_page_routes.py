"""The routes the world page uses, against a real `kest serve` process: who a token is, tokens
that expire, a game master's tick and verification, the operator's deletion, the live stream,
and the events carrying each epoch's proposals."""

import json
import sqlite3
import time

import httpx
import pytest

pytest.importorskip("starlette")

from host_process import Server, bearer  # noqa: E402

HOUR = {"epochSeconds": 3600}  # only the tests tick these worlds


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    running = Server(tmp_path_factory.mktemp("host"))
    running.client = httpx.Client(base_url=running.url, timeout=10)
    running.headers = {"operator": bearer(running.tokens["operator"])}
    yield running
    running.client.close()
    errors = running.stop()
    assert "Traceback" not in errors, errors


def call(server, who, method, path, **options) -> httpx.Response:
    headers = server.headers[who] if isinstance(who, str) else who
    return server.client.request(method, path, headers=headers, **options)


def make_world(server, world_id: str) -> dict:
    """Creates `world_id` and tokens of every role in it; returns their headers by role."""
    made = call(server, "operator", "POST", "/worlds", json={"worldId": world_id, "settings": HOUR})
    assert made.status_code == 201, made.text
    gm = bearer(made.json()["gmToken"])
    tokens = {"gm": gm}
    for role, body in [("player", {"role": "player", "entityId": "aria"}), ("spectator", {"role": "spectator"})]:
        issued = call(server, gm, "POST", f"/worlds/{world_id}/tokens", json=body)
        assert issued.status_code == 201, issued.text
        tokens[role] = bearer(issued.json()["token"])
    return tokens


@pytest.fixture(scope="module")
def roles(server):
    make_world(server, "far")  # a world the tokens of "vale" have no part in
    return {"operator": server.headers["operator"], **make_world(server, "vale")}


def read_events(lines, count: int) -> list[tuple[str, dict]]:
    """The next `count` messages of an open event stream's lines, as (name, data); fewer when it ends."""
    messages, name = [], None
    for line in lines:
        if line.startswith("event: "):
            name = line.removeprefix("event: ")
        elif line.startswith("data: "):
            messages.append((name, json.loads(line.removeprefix("data: "))))
            if len(messages) == count:
                return messages
    return messages


@pytest.mark.parametrize(
    ("who", "method", "path", "status"),
    [
        (None, "GET", "/me", 401),
        ("player", "POST", "/worlds/vale/tick", 403),
        ("spectator", "POST", "/worlds/vale/tick", 403),
        ("player", "POST", "/worlds/vale/verify", 403),
        ("gm", "DELETE", "/worlds/vale", 403),  # only the operator deletes
        ("player", "DELETE", "/worlds/vale", 403),
        ("gm", "POST", "/worlds/far/tick", 403),
        ("gm", "POST", "/worlds/far/verify", 403),
        ("player", "GET", "/worlds/far/stream", 403),
        ("operator", "DELETE", "/worlds/nowhere", 404),
        ("operator", "GET", "/worlds/nowhere/stream", 404),
        ("gm", "GET", "/worlds/vale/stream?since=x", 400),
    ],
)
def test_the_role_rules_hold_on_the_page_routes(server, roles, who, method, path, status):
    response = call(server, roles.get(who, {}), method, path)
    assert response.status_code == status, response.text
    assert response.json()["error"]


@pytest.mark.parametrize(
    ("who", "expected"),
    [
        ("operator", {"role": "operator", "worldId": None, "entityId": None}),
        ("gm", {"role": "gm", "worldId": "vale", "entityId": None}),
        ("player", {"role": "player", "worldId": "vale", "entityId": "aria"}),
        ("spectator", {"role": "spectator", "worldId": "vale", "entityId": None}),
    ],
)
def test_me_says_who_a_token_is(server, roles, who, expected):
    assert call(server, roles[who], "GET", "/me").json() == {**expected, "expiresAt": None}


@pytest.mark.parametrize("expires_in", [0, -1, "5", True, 366 * 24 * 3600 + 1])
def test_a_bad_expiry_is_refused(server, roles, expires_in):
    body = {"role": "spectator", "expiresIn": expires_in}
    response = call(server, roles["gm"], "POST", "/worlds/vale/tokens", json=body)
    assert response.status_code == 400 and "expiresIn" in response.json()["error"]


def test_a_token_expires_and_its_stream_ends_with_expired(server, roles):
    issued = call(server, roles["gm"], "POST", "/worlds/vale/tokens", json={"role": "spectator", "expiresIn": 1.5})
    token = bearer(issued.json()["token"])
    expires_at = issued.json()["expiresAt"]
    assert abs(expires_at - (time.time() + 1.5)) < 1
    assert call(server, token, "GET", "/me").json()["expiresAt"] == expires_at
    with server.client.stream("GET", "/worlds/vale/stream", headers=token) as stream:
        assert [name for name, _ in read_events(stream.iter_lines(), 2)] == ["update", "expired"]
    assert time.time() >= expires_at
    refused = call(server, token, "GET", "/worlds/vale")
    assert (refused.status_code, refused.json()["error"]) == (401, "token expired")


def test_a_tick_now_is_streamed_with_the_proposals_it_resolved(server, roles):
    proposal = {"actionId": "strike", "targetId": "gob-1", "clientId": "c1"}
    assert call(server, roles["player"], "POST", "/worlds/vale/proposals", json=proposal).status_code == 202
    with server.client.stream("GET", "/worlds/vale/stream", headers=roles["spectator"]) as stream:
        lines = stream.iter_lines()
        (_, first), *_ = read_events(lines, 1)
        ticked = call(server, roles["gm"], "POST", "/worlds/vale/tick")
        assert ticked.status_code == 200 and ticked.json()["epoch"] == first["world"]["epoch"] + 1
        (name, update), *_ = read_events(lines, 1)
    assert name == "update" and update["world"]["headSeq"] == first["world"]["headSeq"] + 1
    (record,) = update["records"]
    assert record["proposals"]["aria"] == {"actionId": "strike", "targetId": "gob-1"}
    assert record["proposals"]["ogre"] == {"actionId": "strike", "targetId": "brom"}  # a standing order
    paged = call(server, roles["spectator"], "GET", "/worlds/vale/events", params={"since": record["seq"] - 1}).json()
    assert paged["records"] == [record]


def test_a_tick_now_of_a_suspended_world_is_refused(server, roles):
    assert call(server, roles["gm"], "POST", "/worlds/vale/suspend").status_code == 200
    try:
        refused = call(server, roles["gm"], "POST", "/worlds/vale/tick")
        assert refused.status_code == 400 and "not live" in refused.json()["error"]
    finally:
        assert call(server, roles["gm"], "POST", "/worlds/vale/resume").status_code == 200


def test_verification_finds_an_intact_chain_and_a_tampered_record(server):
    gm = make_world(server, "checked")["gm"]
    for _ in range(3):
        assert call(server, gm, "POST", "/worlds/checked/tick").status_code == 200
    intact = call(server, gm, "POST", "/worlds/checked/verify").json()
    assert (intact["ok"], intact["records"], intact["fromSeq"], intact["headSeq"]) == (True, 3, 0, 2)
    assert call(server, gm, "GET", "/worlds/checked").json()["verification"] == intact

    with sqlite3.connect(server.data / "host.db") as database:
        database.execute(
            "UPDATE records SET payload = replace(payload, '\"epoch_number\":2', '\"epoch_number\":7')"
            " WHERE world_id = 'checked' AND seq = 1"
        )
    broken = call(server, gm, "POST", "/worlds/checked/verify").json()
    assert broken["ok"] is False and "BadSignature" in broken["finding"] and "1" in broken["finding"]


def test_the_operator_deletes_a_world_with_its_tokens_and_its_streams_are_told(server):
    tokens = make_world(server, "doomed")
    assert call(server, tokens["gm"], "POST", "/worlds/doomed/tick").status_code == 200
    with server.client.stream("GET", "/worlds/doomed/stream", headers=tokens["player"]) as stream:
        lines = stream.iter_lines()
        read_events(lines, 1)
        deleted = call(server, "operator", "DELETE", "/worlds/doomed")
        assert deleted.json() == {"worldId": "doomed", "status": "deleted"}
        assert read_events(lines, 2) == [("deleted", {})]  # and the stream ends
    assert call(server, "operator", "GET", "/worlds/doomed").status_code == 404
    assert call(server, "operator", "DELETE", "/worlds/doomed").status_code == 404
    assert "doomed" not in str(call(server, "operator", "GET", "/worlds").json())
    # A new world of the same name owes nothing to the old one: its tokens are gone for good.
    make_world(server, "doomed")
    for role in ("gm", "player", "spectator"):
        refused = call(server, tokens[role], "GET", "/worlds/doomed")
        assert (refused.status_code, refused.json()["error"]) == (401, "unknown token")
    assert call(server, "operator", "GET", "/worlds/doomed").json()["headSeq"] == -1
