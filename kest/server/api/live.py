"""Routes the world page needs: who a token is, a game master's tick ahead of the clock and
verification of the chain, the operator's deletion of a world, and a world's live stream of
updates as server-sent events."""

import asyncio

from starlette.requests import Request
from starlette.responses import Response, StreamingResponse

from kest.server.api.common import host_of, json_text, json_value, path_world, principal
from kest.server.errors import BadInput, Conflict, NotFound
from kest.server.feed import world_events

STREAM_RECORDS = 100  # records an update carries at most; the page shows the newest ones


async def me(request: Request) -> Response:
    who = await principal(request)
    return json_value(
        {"role": who.role, "worldId": who.world_id, "entityId": who.entity_id, "expiresAt": who.expires_at}
    )


async def tick_now(request: Request) -> Response:
    world_id = path_world(request)
    (await principal(request)).require_admin(world_id)
    service = host_of(request).service
    if await asyncio.to_thread(service.tick, world_id, True) is None:
        if service.held(world_id):
            raise Conflict(
                f'world "{world_id}" is playing in its real-time room: it ticks frames until the room closes'
            )
        raise BadInput(f'world "{world_id}" is not live: resume it first')
    return json_text(await asyncio.to_thread(service.view, world_id))


async def verify(request: Request) -> Response:
    world_id = path_world(request)
    (await principal(request)).require_admin(world_id)
    return json_value(await asyncio.to_thread(host_of(request).service.verify, world_id))


async def delete_world(request: Request) -> Response:
    """Only the operator deletes: a world's chain is the record of its play, which its own game
    master must not be able to make disappear."""
    world_id = path_world(request)
    (await principal(request)).require_operator()
    host = host_of(request)
    await asyncio.to_thread(host.service.delete, world_id)
    await request.app.state.rooms.world_deleted(world_id)
    for header, known in list(host.principals.items()):
        if known.world_id == world_id:
            del host.principals[header]  # its tokens went with it
    return json_value({"worldId": world_id, "status": "deleted"})


async def stream(request: Request) -> Response:
    world_id = path_world(request)
    who = await principal(request)
    who.require_read(world_id)
    try:
        since = int(request.query_params.get("since", "-1"))
    except ValueError:
        raise BadInput("since must be a record seq") from None
    host = host_of(request)
    service = host.service
    await asyncio.to_thread(service.row, world_id)  # an unknown world is refused before the stream starts

    def read(since: int) -> tuple[str, int] | None:
        try:
            view = service.view(world_id, resume=False)
        except NotFound:
            return None
        # '{"next":N,"records":[...]}', taken apart as text: a page of records is never parsed here.
        head, _, records = service.records_text(world_id, since, STREAM_RECORDS).partition(',"records":')
        return f'{{"records":{records[:-1]},"world":{view}}}', int(head.removeprefix('{"next":'))

    events = world_events(host.feed, world_id, read, since, until=who.expires_at)
    headers = {"Cache-Control": "no-store", "X-Accel-Buffering": "no"}
    return StreamingResponse(events, media_type="text/event-stream", headers=headers)
