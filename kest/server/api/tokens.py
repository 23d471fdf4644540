"""Routes that issue tokens: game-master tokens by the operator, player and spectator tokens by
a world's game master."""

import asyncio

from starlette.requests import Request
from starlette.responses import Response

from kest.server.api.common import host_of, json_value, path_world, principal, read_json
from kest.server.errors import BadInput
from kest.server.tokens import issue
from kest.server.vetting import check_id

MAX_EXPIRES_IN = 366 * 24 * 3600


def _expiry(body, now: float) -> float | None:
    """The expiry a token's body asks for with "expiresIn" (seconds from now); None: never."""
    seconds = body.get("expiresIn") if isinstance(body, dict) else None
    if seconds is None:
        return None
    if isinstance(seconds, bool) or not isinstance(seconds, int | float) or not 0 < seconds <= MAX_EXPIRES_IN:
        raise BadInput(f"expiresIn must be a number of seconds from 1 to {MAX_EXPIRES_IN}")
    return now + seconds


async def _issue(request: Request, role: str, world_id: str, entity_id: str | None, body) -> Response:
    service = host_of(request).service
    now = service.clock()
    expires_at = _expiry(body, now)
    token, job = issue(role, world_id, entity_id, now, expires_at)
    await asyncio.to_thread(service.writer.run, job)
    issued = {"token": token, "role": role, "worldId": world_id, "entityId": entity_id, "expiresAt": expires_at}
    return json_value(issued, 201)


async def gm_token(request: Request) -> Response:
    (await principal(request)).require_operator()
    body = await read_json(request)
    world_id = check_id("worldId", body.get("worldId") if isinstance(body, dict) else None)
    await asyncio.to_thread(host_of(request).service.row, world_id)
    return await _issue(request, "gm", world_id, None, body)


async def world_token(request: Request) -> Response:
    world_id = path_world(request)
    (await principal(request)).require_admin(world_id)
    body = await read_json(request)
    if not isinstance(body, dict) or body.get("role") not in ("player", "spectator"):
        raise BadInput('the body is {"role": "player" or "spectator", "entityId"?}')
    entity_id = body.get("entityId")
    if body["role"] == "player":
        facts = await asyncio.to_thread(host_of(request).service.facts, world_id, (entity_id,))
        if check_id("entityId", entity_id) not in facts.entities:
            raise BadInput(f'entityId "{entity_id}" is not an entity of this world')
    return await _issue(request, body["role"], world_id, entity_id, body)
