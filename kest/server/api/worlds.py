"""Routes of worlds: create, list, read, proposals, events, chain, bundle, suspend, resume."""

import asyncio

from starlette.requests import Request
from starlette.responses import Response

from kest.server.api.common import host_of, json_text, json_value, path_world, principal, read_json
from kest.server.errors import BadInput
from kest.server.tokens import issue

MAX_EVENTS_PAGE = 1000
DEFAULT_EVENTS_PAGE = 100


async def health(request: Request) -> Response:
    return json_value({"status": "ok"})


async def create_world(request: Request) -> Response:
    who = await principal(request)
    who.require_operator()
    body = await read_json(request, required=False)
    if not isinstance(body, dict):
        raise BadInput("the body is an object: {worldId?, state?, ruleset?, settings?}")
    service = host_of(request).service
    row = await asyncio.to_thread(
        service.create, body.get("worldId"), body.get("state"), body.get("ruleset"), body.get("settings")
    )
    token, job = issue("gm", row.world_id, None, service.clock())
    await asyncio.to_thread(service.writer.run, job)
    view = await asyncio.to_thread(service.view, row.world_id)
    return json_text(f'{{"gmToken":"{token}","world":{view}}}', 201)


async def list_worlds(request: Request) -> Response:
    who = await principal(request)
    service = host_of(request).service
    if who.role == "operator":
        ids = await asyncio.to_thread(service.store.reads().world_ids)
    else:
        ids = [who.world_id]
    summaries = await asyncio.to_thread(lambda: [service.summary(world_id) for world_id in ids])
    return json_value({"worlds": summaries})


async def _readable(request: Request) -> str:
    world_id = path_world(request)
    (await principal(request)).require_read(world_id)
    return world_id


async def _administered(request: Request) -> str:
    world_id = path_world(request)
    (await principal(request)).require_admin(world_id)
    return world_id


async def read_world(request: Request) -> Response:
    world_id = await _readable(request)
    service = host_of(request).service
    view = await asyncio.to_thread(service.view, world_id)
    service.touch(world_id)
    return json_text(view)


async def file_proposal(request: Request) -> Response:
    world_id = path_world(request)
    who = await principal(request)
    who.require_read(world_id)
    service = host_of(request).service
    facts = await asyncio.to_thread(service.facts, world_id)
    body = await read_json(request)
    if not isinstance(body, dict):
        raise BadInput("a proposal is a JSON object")
    entity_id = who.proposing_entity(world_id, body.get("entityId"))
    target = body.get("targetId")
    if isinstance(target, str) and target not in facts.entities:
        facts = await asyncio.to_thread(service.facts, world_id, True)  # a tick may have made it
    job = service.proposal_job(world_id, facts, entity_id, body)
    filed = await asyncio.wrap_future(service.writer.submit(job))
    if filed.pop("worldStatus") != "live":
        # Filing counts as using the world: bring it back, without making this caller wait.
        asyncio.get_running_loop().run_in_executor(None, service.live_row, world_id)
    return json_value(filed, 202)


def _integer_query(request: Request, name: str, default: int) -> int:
    text = request.query_params.get(name)
    if text is None:
        return default
    try:
        return int(text)
    except ValueError:
        raise BadInput(f"{name} must be an integer") from None


async def events(request: Request) -> Response:
    world_id = await _readable(request)
    since = _integer_query(request, "since", -1)
    limit = _integer_query(request, "limit", DEFAULT_EVENTS_PAGE)
    if not 1 <= limit <= MAX_EVENTS_PAGE:
        raise BadInput(f"limit must be from 1 to {MAX_EVENTS_PAGE}")
    service = host_of(request).service
    return json_text(await asyncio.to_thread(service.records_text, world_id, since, limit))


async def export_chain(request: Request) -> Response:
    world_id = await _administered(request)
    exported = await asyncio.to_thread(host_of(request).service.export, world_id)
    return json_value(exported)


async def bundle(request: Request) -> Response:
    world_id = await _administered(request)
    return json_text(await asyncio.to_thread(host_of(request).service.bundle, world_id))


async def suspend(request: Request) -> Response:
    world_id = await _administered(request)
    service = host_of(request).service
    await asyncio.to_thread(service.suspend, world_id)
    return json_value(await asyncio.to_thread(service.summary, world_id))


async def resume(request: Request) -> Response:
    world_id = await _administered(request)
    service = host_of(request).service
    await asyncio.to_thread(service.resume, world_id)
    return json_value(await asyncio.to_thread(service.summary, world_id))
