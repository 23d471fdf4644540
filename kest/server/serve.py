"""`kest serve`: the first start's set-up, then the server on uvicorn.

The first start makes the server key, an operator token and a world from the default world with
its game master's token, and prints the tokens once: only their hashes are kept.
"""

import signal

import uvicorn

from kest.server.app import build_app, close_service, open_service
from kest.server.config import ServerConfig
from kest.server.rooms.transport import BoundedCloseProtocol
from kest.server.tokens import issue


def first_start(config: ServerConfig) -> list[str]:
    """Sets up a new data folder; the lines to show the operator (none when already set up)."""
    service = open_service(config)
    try:
        if service.store.reads().count_tokens("operator"):
            return []
        lines = []
        if not service.store.reads().world_ids():
            row = service.create(None)
            gm, job = issue("gm", row.world_id, None, service.clock())
            service.writer.run(job)
            lines.append(f"world {row.world_id}: game-master token {gm}")
        operator, job = issue("operator", None, None, service.clock())
        service.writer.run(job)
        lines.insert(0, f"operator token {operator}")
        return lines + ["(shown once: keep them; `kest token` issues more)"]
    finally:
        close_service(service)


def serve(config: ServerConfig) -> None:
    # The `kest` tool takes SIGPIPE's default action, which suits a command writing to a pipe; a
    # server writes to its clients' sockets, and one that closes its connection mid-answer must cost
    # only itself: the write fails with EPIPE, which the server handles, and the process goes on.
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    for line in first_start(config):
        print(line)
    print(f"kest host on http://{config.host}:{config.port} (data in {config.data_dir})", flush=True)
    uvicorn.run(
        build_app(config),
        host=config.host,
        port=config.port,
        loop="uvloop",
        http="httptools",
        ws=BoundedCloseProtocol,
        log_level="warning",
        lifespan="on",
    )
