"""Raw room connections for tests that must send what `kest.client` never would."""

import json

import websockets


async def join(url: str, token: str, last_frame: int | None = None):
    socket = await websockets.connect(url, max_size=None)
    await socket.send(json.dumps({"type": "join", "token": token, "lastFrame": last_frame}))
    return socket, json.loads(await socket.recv())


async def next_of(socket, kind: str) -> dict:
    """The next message of a kind, acknowledging frames on the way."""
    while True:
        message = json.loads(await socket.recv())
        if message["type"] == "frame":
            await socket.send(json.dumps({"type": "ack", "frame": message["frame"]}))
        if message["type"] == kind:
            return message


async def close_of(socket) -> tuple[int, str]:
    """The code and reason the server closed with, reading whatever came before."""
    try:
        while True:
            await socket.recv()
    except websockets.ConnectionClosed as closed:
        return closed.rcvd.code, closed.rcvd.reason


async def refused_join(url: str, token: str) -> tuple[int, str]:
    """The code and reason of the close that answers a join."""
    socket = await websockets.connect(url, max_size=None)
    await socket.send(json.dumps({"type": "join", "token": token, "lastFrame": None}))
    return await close_of(socket)
