"""The host's HTTP API against a real server process: who may do what, every bad input answered
with a clear JSON error (never a 500, the server still serving), and the OpenAPI description."""

import time

import httpx
import pytest

pytest.importorskip("starlette")

from host_process import Server, bearer  # noqa: E402

from kest.server import api  # noqa: E402

FAST = {"epochSeconds": 0.2}


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    running = Server(tmp_path_factory.mktemp("host"), "--body-limit", "65536")
    client = httpx.Client(base_url=running.url, timeout=10)
    operator = bearer(running.tokens["operator"])
    made = client.post("/worlds", headers=operator, json={"worldId": "other", "settings": FAST})
    assert made.status_code == 201, made.text
    tokens = {"operator": operator, "gm": bearer(running.tokens["gm"]), "other-gm": bearer(made.json()["gmToken"])}
    for name, body in [("aria", {"role": "player", "entityId": "aria"}), ("watcher", {"role": "spectator"})]:
        issued = client.post("/worlds/ashen-vale/tokens", headers=tokens["gm"], json=body)
        assert issued.status_code == 201, issued.text
        tokens[name] = bearer(issued.json()["token"])
    running.client, running.headers = client, tokens
    yield running
    client.close()
    errors = running.stop()
    assert "Traceback" not in errors, errors


def call(server, who, method, path, **options):
    headers = server.headers.get(who, {}) if isinstance(who, str) else who
    response = server.client.request(method, path, headers=headers, **options)
    assert response.headers["content-type"].startswith("application/json"), response.text
    return response


PROPOSAL = {"actionId": "strike", "targetId": "ogre", "clientId": "c1"}


@pytest.mark.parametrize(
    ("who", "method", "path", "body", "status"),
    [
        (None, "GET", "/worlds/ashen-vale", None, 401),
        (bearer("0" * 64), "GET", "/worlds/ashen-vale", None, 401),
        ("aria", "POST", "/worlds/ashen-vale/proposals", {**PROPOSAL, "entityId": "ogre"}, 403),
        ("aria", "POST", "/worlds/other/proposals", PROPOSAL, 403),
        ("aria", "GET", "/worlds/other", None, 403),
        ("aria", "POST", "/worlds/ashen-vale/suspend", None, 403),
        ("aria", "GET", "/worlds/ashen-vale/chain", None, 403),
        ("aria", "GET", "/worlds/ashen-vale/bundle", None, 403),
        ("aria", "POST", "/worlds/ashen-vale/tokens", {"role": "player", "entityId": "ogre"}, 403),
        ("watcher", "POST", "/worlds/ashen-vale/proposals", {**PROPOSAL, "entityId": "aria"}, 403),
        ("watcher", "POST", "/worlds/ashen-vale/resume", None, 403),
        ("gm", "GET", "/worlds/other", None, 403),
        ("gm", "POST", "/worlds/other/suspend", None, 403),
        ("gm", "POST", "/worlds", {}, 403),
        ("gm", "POST", "/tokens", {"worldId": "ashen-vale"}, 403),
        ("other-gm", "POST", "/worlds/ashen-vale/proposals", {**PROPOSAL, "entityId": "aria"}, 403),
    ],
)
def test_every_forbidden_action_is_refused(server, who, method, path, body, status):
    response = call(server, who, method, path, json=body)
    assert response.status_code == status, response.text
    assert response.json()["error"]


@pytest.mark.parametrize(
    ("who", "path", "body", "status", "words"),
    [
        ("aria", "/worlds/ashen-vale/proposals", b'{"actionId": "strike",', 400, "not JSON"),
        ("aria", "/worlds/ashen-vale/proposals", b"[" * 128 + b"]" * 128, 400, ""),
        ("aria", "/worlds/ashen-vale/proposals", b"[" * 30_000 + b"]" * 30_000, 400, "not JSON"),
        ("aria", "/worlds/ashen-vale/proposals", b'{"a": "' + b"x" * 70_000 + b'"}', 413, "larger than"),
        ("aria", "/worlds/ashen-vale/proposals", b"\xff\xfe", 400, "UTF-8"),
        ("operator", "/worlds/nowhere/proposals", PROPOSAL, 404, "no world"),
        ("aria", "/worlds/ashen-vale/proposals", {**PROPOSAL, "epoch": 0}, 409, "already resolved"),
        ("aria", "/worlds/ashen-vale/proposals", {**PROPOSAL, "actionId": "dance"}, 400, "not an action"),
        ("aria", "/worlds/ashen-vale/proposals", {**PROPOSAL, "targetId": "nobody"}, 400, "not an entity"),
        ("aria", "/worlds/ashen-vale/proposals", {**PROPOSAL, "targetId": "__proto__"}, 400, "__proto__"),
        ("aria", "/worlds/ashen-vale/proposals", {**PROPOSAL, "clientId": "e\u0301"}, 400, "NFC"),
        ("aria", "/worlds/ashen-vale/proposals", {**PROPOSAL, "targetId": "x" * 257}, 400, "256 UTF-16"),
        ("aria", "/worlds/ashen-vale/proposals", {**PROPOSAL, "epoch": 1.5}, 400, "epoch"),
        ("aria", "/worlds/ashen-vale/proposals", [], 400, "object"),
        (
            "operator",
            "/worlds",
            {"worldId": "w2", "ruleset": {"zap": {"kind": "check", "check": {"type": "nope"}}}},
            400,
            'action "zap": AST:',
        ),
        ("operator", "/worlds", {"worldId": "__proto__"}, 400, "__proto__"),
        ("operator", "/worlds", {"worldId": "ashen-vale"}, 409, "already exists"),
        ("operator", "/worlds", {"state": {"entities": {"e": {"properties": {"hp": 0.5}}}}}, 400, "NonIntegerNumber"),
        ("operator", "/worlds", {"settings": {"epochSeconds": "fast"}}, 400, "epochSeconds"),
    ],
)
def test_bad_input_gets_a_clear_json_error_and_the_server_goes_on(server, who, path, body, status, words):
    options = {"content": body} if isinstance(body, bytes) else {"json": body}
    response = call(server, who, "POST", path, **options)
    assert (response.status_code, words in response.json()["error"]) == (status, True), response.text
    assert server.client.get("/health").status_code == 200
    assert "w2" not in str(call(server, "operator", "GET", "/worlds").json())


def test_a_player_files_for_its_entity_a_new_client_id_replaces_a_repeat_changes_nothing(server):
    statuses = []
    for client_id, target in [("p1", "ogre"), ("p1", "ogre"), ("p2", "gob-1")]:
        body = {"actionId": "strike", "targetId": target, "clientId": client_id, "epoch": 500}
        response = call(server, "aria", "POST", "/worlds/ashen-vale/proposals", json=body)
        assert response.status_code == 202, response.text
        statuses.append(response.json())
    assert [s["status"] for s in statuses] == ["filed", "unchanged", "replaced"]
    assert {(s["epoch"], s["entityId"]) for s in statuses} == {(500, "aria")}


def test_reads_events_chain_and_bundle_of_a_ticking_world(server):
    world = call(server, "watcher", "GET", "/worlds/other")
    assert world.status_code == 403  # a spectator of another world
    # The second world ticks every 0.2 s; wait for two records.
    for _ in range(100):
        world = call(server, "other-gm", "GET", "/worlds/other")
        if world.json()["headSeq"] >= 1:
            break
        time.sleep(0.05)
    answers = [world.text]
    page = call(server, "other-gm", "GET", "/worlds/other/events", params={"since": 0, "limit": 1}).json()
    assert [record["seq"] for record in page["records"]] == [1]
    exported = call(server, "other-gm", "GET", "/worlds/other/chain").json()
    answers.append(str(exported))
    assert exported["records"][0]["prevSig"] == exported["genesis"]
    assert call(server, "other-gm", "POST", "/worlds/other/suspend").json()["status"] == "suspended"
    bundle = call(server, "other-gm", "GET", "/worlds/other/bundle").json()
    assert bundle["worldId"] == "other" and bundle["chainTail"] == []
    answers.append(str(bundle))
    key = (server.data / "server.key").read_text().strip()
    assert not any(key in answer for answer in answers)
    assert call(server, "other-gm", "POST", "/worlds/other/resume").json()["status"] == "live"


def test_the_openapi_description_names_every_route_with_its_methods(server):
    described = call(server, None, "GET", "/openapi.json").json()
    assert described["openapi"].startswith("3.")
    served = {}
    for route in api.routes():
        path = route.path.replace("{world_id}", "{world_id}")
        served.setdefault(path, set()).update(method.lower() for method in route.methods if method != "HEAD")
    assert {path: set(operations) for path, operations in described["paths"].items()} == served
    for operations in described["paths"].values():
        for operation in operations.values():
            assert operation["responses"]
