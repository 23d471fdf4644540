"""What every route shares: the host's parts, the caller's principal, bodies read within the
size limit, and refusals answered as JSON."""

import asyncio
import logging
from dataclasses import dataclass, field

from starlette.requests import Request
from starlette.responses import Response

from kest import jsontext
from kest.errors import Refused, refusing
from kest.server import tokens
from kest.server.config import ServerConfig
from kest.server.errors import BadInput, HostError, TooLarge, Unauthorized, Unavailable
from kest.server.feed import WorldFeed
from kest.server.store import NotOwner, StoreError
from kest.server.worlds import WorldService

log = logging.getLogger("kest.server")


@dataclass
class Host:
    config: ServerConfig
    service: WorldService
    feed: WorldFeed
    # A token is revoked only with its world (whose deletion drops it here), so a principal once
    # found stays valid until it expires.
    principals: dict = field(default_factory=dict)  # touched on the event loop only


def host_of(request: Request) -> Host:
    return request.app.state.host


def json_text(text: str, status: int = 200, headers: dict | None = None) -> Response:
    return Response(text, status_code=status, headers=headers, media_type="application/json")


def json_value(value, status: int = 200, headers: dict | None = None) -> Response:
    return json_text(jsontext.dumps(value), status, headers)


async def principal(request: Request) -> tokens.Principal:
    host = host_of(request)
    header = request.headers.get("authorization")
    known = host.principals.get(header) if header else None
    if known is not None:
        if known.expired(host.service.clock()):
            raise Unauthorized("token expired")
        return known
    service = host.service
    # reads() gives the calling thread's own connection: it is taken on the worker thread that queries it.
    found = await asyncio.to_thread(lambda: tokens.authenticate(service.store.reads(), header, service.clock()))
    host.principals[header] = found
    return found


async def read_json(request: Request, required: bool = True):
    """The request's JSON body, refused past the size limit before more of it is read."""
    limit = host_of(request).config.body_limit
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise TooLarge(f"the body is larger than {limit} bytes")
    chunks, size = [], 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise TooLarge(f"the body is larger than {limit} bytes")
        chunks.append(chunk)
    if not size and not required:
        return {}
    with refusing("the body: "):
        return jsontext.loads(b"".join(chunks))


def path_world(request: Request) -> str:
    return request.path_params["world_id"]


async def refused(request: Request, failure: HostError) -> Response:
    return json_value({"error": str(failure)}, failure.status)


async def refused_input(request: Request, failure: Refused) -> Response:
    return json_value({"error": str(failure)}, BadInput.status)


async def storage_failed(request: Request, failure: StoreError) -> Response:
    log.error("storage failed: %s", failure)
    return json_value({"error": f"storage failed, nothing was stored: {failure}"}, Unavailable.status)


async def elsewhere(request: Request, failure: NotOwner) -> Response:
    """Another process owns the world: the client is sent there, or asked to come back when nobody does."""
    if failure.address is None:
        return json_value({"error": str(failure)}, Unavailable.status, {"Retry-After": "1"})
    location = failure.address + request.url.path + (f"?{request.url.query}" if request.url.query else "")
    return json_value({"error": str(failure), "owner": failure.address}, 307, {"Location": location})


async def internal(request: Request, failure: Exception) -> Response:
    log.exception("request %s %s failed", request.method, request.url.path, exc_info=failure)
    return json_value({"error": "internal error"}, 500)


async def unknown_route(request: Request, failure) -> Response:
    status = getattr(failure, "status_code", 404)
    return json_value({"error": getattr(failure, "detail", "not found")}, status)


EXCEPTION_HANDLERS = {
    HostError: refused,
    Refused: refused_input,
    NotOwner: elsewhere,
    StoreError: storage_failed,
    404: unknown_route,
    405: unknown_route,
    Exception: internal,
}
