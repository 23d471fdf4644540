"""build_app(config): the host as an ASGI application.

Its lifespan opens the store, reads the server key, starts the writer and the clock, and closes
them in the other order. Routes find the host's parts at `request.app.state.host` (an
`api.common.Host`: the config and the world service). Sibling packages mount their routes
through `extra_routes`.
"""

import asyncio
import contextlib
from pathlib import Path

from starlette.applications import Starlette
from starlette.routing import BaseRoute, Mount
from starlette.staticfiles import StaticFiles

from kest.server import api, rooms
from kest.server.api.common import EXCEPTION_HANDLERS, Host
from kest.server.config import ServerConfig, server_key
from kest.server.feed import WorldFeed
from kest.server.rooms.settings import RoomSettings
from kest.server.rooms.world_host import WorldServiceRoomHost
from kest.server.scheduler import Clock
from kest.server.settings import Settings
from kest.server.store import open_store
from kest.server.worlds import WorldService
from kest.server.writer import GroupWriter

PAGE = Path(__file__).resolve().parent / "page"


def open_service(config: ServerConfig) -> WorldService:
    """The world service over the configured store, with its writer running."""
    key = server_key(config.data_dir)
    store = open_store(config.database, config.lease_seconds, f"http://{config.host}:{config.port}")
    defaults = Settings(config.epoch_seconds, config.max_catchup, None, None, {})
    return WorldService(store, GroupWriter(store), key, defaults)


def close_service(service: WorldService) -> None:
    service.writer.close()
    service.store.close()


def build_app(config: ServerConfig, extra_routes: list[BaseRoute] = ()) -> Starlette:
    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette):
        service = await asyncio.to_thread(open_service, config)
        feed = WorldFeed(asyncio.get_running_loop())
        service.changed = feed.changed
        app.state.host = Host(config, service, feed)
        app.state.rooms = rooms.Rooms(WorldServiceRoomHost(service), RoomSettings(rate=config.room_rate))
        clock = Clock(service, config.clock_interval, config.idle_seconds)
        ticking = asyncio.create_task(clock.run())
        try:
            yield
        finally:
            await app.state.rooms.close()  # the frames ticked reach the chain before the store closes
            ticking.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await ticking
            clock.close()
            close_service(service)

    # The world page is served last: every API path wins over a file of the same name.
    page = Mount("/", StaticFiles(directory=PAGE, html=True), name="page")
    routes = api.routes() + rooms.routes() + list(extra_routes) + [page]
    return Starlette(routes=routes, exception_handlers=EXCEPTION_HANDLERS, lifespan=lifespan)
