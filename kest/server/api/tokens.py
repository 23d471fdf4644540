"""Routes that issue tokens: game-master tokens by the operator, player and spectator tokens by
a world's game master."""

import asyncio

from starlette.requests import Request
from starlette.responses import Response

from kest.server.api.common import host_of, json_value, path_world, principal, read_json
from kest.server.errors import BadInput
from kest.server.tokens import issue
from kest.server.vetting import check_id


async def _issue(request: Request, role: str, world_id: str, entity_id: str | None) -> Response:
    service = host_of(request).service
    token, job = issue(role, world_id, entity_id, service.clock())
    await asyncio.to_thread(service.writer.run, job)
    return json_value({"token": token, "role": role, "worldId": world_id, "entityId": entity_id}, 201)


async def gm_token(request: Request) -> Response:
    (await principal(request)).require_operator()
    body = await read_json(request)
    world_id = check_id("worldId", body.get("worldId") if isinstance(body, dict) else None)
    await asyncio.to_thread(host_of(request).service.row, world_id)
    return await _issue(request, "gm", world_id, None)


async def world_token(request: Request) -> Response:
    world_id = path_world(request)
    (await principal(request)).require_admin(world_id)
    body = await read_json(request)
    if not isinstance(body, dict) or body.get("role") not in ("player", "spectator"):
        raise BadInput('the body is {"role": "player" or "spectator", "entityId"?}')
    entity_id = body.get("entityId")
    if body["role"] == "player":
        facts = await asyncio.to_thread(host_of(request).service.facts, world_id)
        if check_id("entityId", entity_id) not in facts.entities:
            raise BadInput(f'entityId "{entity_id}" is not an entity of this world')
    return await _issue(request, body["role"], world_id, entity_id)
