"""A slow or stalled HTTP client costs only itself, against a real server process and real sockets:
connections that send half a request and stop, and live streams that are never read while the
world they watch changes, hold up nobody else's proposals, ticks or reads."""

import itertools
import socket
import time

import httpx
import pytest

pytest.importorskip("starlette")

from host_process import Server, bearer  # noqa: E402

from kest import world  # noqa: E402

HALF_REQUESTS = 40
UNREAD_STREAMS = 8
PROMPT = 1.0  # seconds: what a served request may take while the stalled ones wait


def half_request(server: Server) -> socket.socket:
    """A proposal whose headers promise a body that never comes."""
    connection = socket.create_connection(("127.0.0.1", server.port))
    connection.sendall(
        b"POST /worlds/ashen-vale/proposals HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
        b'Content-Length: 4000\r\n\r\n{"actionId": '
    )
    return connection


def crowded_world(server: Server) -> str:
    """A world of 2,000 entities (about 300 KB of state, which every update of a stream carries);
    its game master's token."""
    _, state = world.default_world()
    hero = state["entities"]["aria"]
    state["entities"] = {f"e{index:04}": hero for index in range(2000)}
    body = {"worldId": "crowded", "state": state, "settings": {"epochSeconds": 3600}}
    status, created = server.call("POST", "/worlds", server.tokens["operator"], body)
    assert status == 201, created
    return created["gmToken"]


def unread_stream(server: Server, token: str) -> socket.socket:
    """A live stream of the crowded world whose reader never reads, with a receive buffer as small as allowed."""
    connection = socket.socket()
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
    connection.connect(("127.0.0.1", server.port))
    request = f"GET /worlds/crowded/stream HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer {token}\r\n\r\n"
    connection.sendall(request.encode())
    return connection


def test_stalled_requests_and_unread_streams_hold_up_nobody_else(tmp_path):
    server = Server(tmp_path / "host")
    gm, crowded_gm = server.tokens["gm"], crowded_world(server)
    stalled = [half_request(server) for _ in range(HALF_REQUESTS)]
    stalled += [unread_stream(server, crowded_gm) for _ in range(UNREAD_STREAMS)]
    try:
        with httpx.Client(base_url=server.url, headers=bearer(gm), timeout=10) as client:
            # Every tick of the crowded world sends each unread stream its whole state again, far
            # more than the sockets' buffers hold.
            for turn in range(30):
                started = time.monotonic()
                ticked = client.post("/worlds/crowded/tick", headers=bearer(crowded_gm))
                assert ticked.status_code == 200
                body = {"entityId": "aria", "actionId": "strike", "targetId": "ogre", "clientId": f"c{turn}"}
                assert client.post("/worlds/ashen-vale/proposals", json=body).status_code == 202
                assert client.get("/worlds/ashen-vale").status_code == 200
                assert time.monotonic() - started < 3 * PROMPT
            served = [time.monotonic()]
            for _ in range(10):
                assert client.get("/health").status_code == 200
                served.append(time.monotonic())
            assert max(after - before for before, after in itertools.pairwise(served)) < PROMPT
    finally:
        for connection in stalled:
            connection.close()
    assert httpx.get(server.url + "/health", timeout=5).status_code == 200
    errors = server.stop()
    assert "Traceback" not in errors, errors
