"""The API's OpenAPI description, from which clients in other languages can be generated."""

from starlette.requests import Request
from starlette.responses import Response

from kest.server.api.common import json_value
from kest.server.api.tokens import MAX_EXPIRES_IN
from kest.server.rooms.openapi import add_room_routes

_ERROR = {"description": "refused", "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}
# Several processes on one database: a world's writes are answered by the process that owns it.
_ELSEWHERE = {
    "description": "another process owns the world: ask it at the Location header (`owner` in the body)",
    "headers": {"Location": {"schema": {"type": "string"}}},
    "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}},
}
_WORLD_ID = {"name": "world_id", "in": "path", "required": True, "schema": {"type": "string"}}


def _json(schema: dict) -> dict:
    return {"content": {"application/json": {"schema": schema}}}


def _operation(summary: str, status: str, response: dict, *, body: dict | None = None, world: bool = True, params=()):
    operation = {
        "summary": summary,
        "parameters": ([_WORLD_ID] if world else []) + list(params),
        "responses": {
            status: {"description": "done", **_json(response)},
            "307": _ELSEWHERE,
            **{code: _ERROR for code in ("400", "401", "403", "404", "409", "413", "503")},
        },
    }
    if body is not None:
        operation["requestBody"] = {"required": True, **_json(body)}
    return operation


_OBJECT = {"type": "object"}
_INTEGER_QUERY = [
    {"name": "since", "in": "query", "schema": {"type": "integer", "default": -1}},
    {"name": "limit", "in": "query", "schema": {"type": "integer", "minimum": 1, "maximum": 1000, "default": 100}},
]
_SUMMARY = {"$ref": "#/components/schemas/WorldSummary"}
_EXPIRES_IN = {
    "type": "number",
    "exclusiveMinimum": 0,
    "maximum": MAX_EXPIRES_IN,
    "description": "seconds from now until the token expires; left out, it never does",
}

DOCUMENT = {
    "openapi": "3.1.0",
    "info": {"title": "kest host", "version": "1"},
    "components": {
        "securitySchemes": {"bearer": {"type": "http", "scheme": "bearer"}},
        "schemas": {
            "Error": {
                "type": "object",
                "required": ["error"],
                "properties": {"error": {"type": "string"}, "owner": {"type": "string"}},
            },
            "World": {
                "type": "object",
                "properties": {
                    "worldId": {"type": "string"},
                    "epoch": {"type": "integer"},
                    "frame": {"type": "integer"},
                    "headSeq": {"type": "integer"},
                    "headSig": {"type": "string"},
                    "stateHash": {"type": "string"},
                    "state": _OBJECT,
                    "status": {"type": "string", "enum": ["live", "suspended"]},
                    "epochSeconds": {"type": "number"},
                    "maxCatchup": {"type": "integer"},
                    "nextEpochAt": {"type": "number"},
                    "lastFault": {"type": ["string", "null"]},
                    "actions": {"type": "array", "items": {"type": "string"}},
                    "verification": {"oneOf": [{"$ref": "#/components/schemas/Verification"}, {"type": "null"}]},
                },
            },
            "Verification": {
                "type": "object",
                "properties": {
                    "at": {"type": "number"},
                    "ok": {"type": "boolean"},
                    "records": {"type": "integer"},
                    "fromSeq": {"type": "integer"},
                    "headSeq": {"type": "integer"},
                    "finding": {"type": ["string", "null"]},
                },
            },
            "Settings": {
                "type": "object",
                "additionalProperties": False,
                "properties": {
                    "epochSeconds": {"type": "number", "minimum": 0.001},
                    "maxCatchup": {"type": "integer", "minimum": 0},
                    "maxActions": {"type": ["integer", "null"], "minimum": 0},
                    "actorTags": {"type": ["array", "null"], "items": {"type": "string"}},
                    "standingOrders": {
                        "type": "object",
                        "description": "entity id -> its standing proposal, or null to withdraw it",
                        "additionalProperties": {
                            "oneOf": [
                                {"type": "null"},
                                {
                                    "type": "object",
                                    "required": ["actionId"],
                                    "properties": {"actionId": {"type": "string"}, "targetId": {"type": "string"}},
                                },
                            ]
                        },
                    },
                },
            },
            "WorldSummary": {
                "type": "object",
                "properties": {
                    "worldId": {"type": "string"},
                    "epoch": {"type": "integer"},
                    "headSeq": {"type": "integer"},
                    "status": {"type": "string"},
                },
            },
            "Proposal": {
                "type": "object",
                "required": ["actionId", "clientId"],
                "properties": {
                    "entityId": {"type": "string"},
                    "actionId": {"type": "string"},
                    "targetId": {"type": "string"},
                    "epoch": {"type": "integer"},
                    "clientId": {"type": "string"},
                },
            },
            "Filed": {
                "type": "object",
                "properties": {
                    "epoch": {"type": "integer"},
                    "entityId": {"type": "string"},
                    "status": {"type": "string", "enum": ["filed", "replaced", "unchanged"]},
                },
            },
            "Token": {
                "type": "object",
                "properties": {
                    "token": {"type": "string"},
                    "role": {"type": "string"},
                    "worldId": {"type": "string"},
                    "entityId": {"type": ["string", "null"]},
                    "expiresAt": {"type": ["number", "null"]},
                },
            },
        },
    },
    "security": [{"bearer": []}],
    "paths": {
        "/health": {"get": {**_operation("health", "200", _OBJECT, world=False), "security": []}},
        "/openapi.json": {"get": {**_operation("this description", "200", _OBJECT, world=False), "security": []}},
        "/worlds": {
            "post": _operation(
                "create a world (operator); parts left out come from the default world",
                "201",
                {
                    "type": "object",
                    "properties": {"gmToken": {"type": "string"}, "world": {"$ref": "#/components/schemas/World"}},
                },
                body={
                    "type": "object",
                    "properties": {
                        "worldId": {"type": "string"},
                        "state": _OBJECT,
                        "ruleset": _OBJECT,
                        "settings": _OBJECT,
                    },
                },
                world=False,
            ),
            "get": _operation(
                "the worlds this token sees",
                "200",
                {"type": "object", "properties": {"worlds": {"type": "array", "items": _SUMMARY}}},
                world=False,
            ),
        },
        "/worlds/{world_id}": {
            "get": _operation("read a world", "200", {"$ref": "#/components/schemas/World"}),
            "patch": _operation(
                "configure a world from its next tick on (game master); members left out keep their values",
                "200",
                {"$ref": "#/components/schemas/World"},
                body={"$ref": "#/components/schemas/Settings"},
            ),
            "delete": _operation(
                "delete a world with its chain, proposals and tokens (operator)",
                "200",
                {"type": "object", "properties": {"worldId": {"type": "string"}, "status": {"const": "deleted"}}},
            ),
        },
        "/worlds/{world_id}/tick": {
            "post": _operation(
                "resolve the next epoch now (game master)", "200", {"$ref": "#/components/schemas/World"}
            )
        },
        "/worlds/{world_id}/verify": {
            "post": _operation(
                "verify the stored chain from its genesis (game master); the world's views carry the result",
                "200",
                {"$ref": "#/components/schemas/Verification"},
            )
        },
        "/worlds/{world_id}/stream": {
            "get": {
                **_operation(
                    'server-sent events: "update" {world, records} now and after every change, "deleted",'
                    ' and "expired" when the token expires',
                    "200",
                    {"type": "string"},
                    params=_INTEGER_QUERY[:1],
                ),
                "responses": {
                    "200": {
                        "description": "an event stream",
                        "content": {"text/event-stream": {"schema": {"type": "string"}}},
                    },
                    **{code: _ERROR for code in ("400", "401", "403", "404")},
                },
            }
        },
        "/me": {
            "get": _operation(
                "who this token is",
                "200",
                {
                    "type": "object",
                    "properties": {
                        "role": {"type": "string"},
                        "worldId": {"type": ["string", "null"]},
                        "entityId": {"type": ["string", "null"]},
                        "expiresAt": {"type": ["number", "null"]},
                    },
                },
                world=False,
            )
        },
        "/worlds/{world_id}/proposals": {
            "post": _operation(
                "file a proposal (the next epoch by default)",
                "202",
                {"$ref": "#/components/schemas/Filed"},
                body={"$ref": "#/components/schemas/Proposal"},
            )
        },
        "/worlds/{world_id}/events": {
            "get": _operation(
                "signed records after seq `since`, paged",
                "200",
                {
                    "type": "object",
                    "properties": {"next": {"type": "integer"}, "records": {"type": "array", "items": _OBJECT}},
                },
                params=_INTEGER_QUERY,
            )
        },
        "/worlds/{world_id}/chain": {
            "get": _operation(
                "the chain for `kest verify` (game master)",
                "200",
                {
                    "type": "object",
                    "properties": {"genesis": {"type": "string"}, "records": {"type": "array"}, "seal": _OBJECT},
                },
            )
        },
        "/worlds/{world_id}/bundle": {"get": _operation("the world's current bundle (game master)", "200", _OBJECT)},
        "/worlds/{world_id}/suspend": {"post": _operation("suspend into a bundle (game master)", "200", _SUMMARY)},
        "/worlds/{world_id}/resume": {"post": _operation("resume and catch up (game master)", "200", _SUMMARY)},
        "/worlds/{world_id}/tokens": {
            "post": _operation(
                "issue a player or spectator token (game master)",
                "201",
                {"$ref": "#/components/schemas/Token"},
                body={
                    "type": "object",
                    "required": ["role"],
                    "properties": {
                        "role": {"type": "string", "enum": ["player", "spectator"]},
                        "entityId": {"type": "string"},
                        "expiresIn": _EXPIRES_IN,
                    },
                },
            )
        },
        "/tokens": {
            "post": _operation(
                "issue a game-master token (operator)",
                "201",
                {"$ref": "#/components/schemas/Token"},
                body={
                    "type": "object",
                    "required": ["worldId"],
                    "properties": {"worldId": {"type": "string"}, "expiresIn": _EXPIRES_IN},
                },
                world=False,
            )
        },
    },
}

add_room_routes(DOCUMENT, _operation)


async def document(request: Request) -> Response:
    return json_value(DOCUMENT)
