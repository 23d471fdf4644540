"""The room routes in the host's OpenAPI description. OpenAPI has no words for a WebSocket, so the
room's GET is described twice over: the room's report, and with `Upgrade: websocket` the switch
to the wire protocol, which the operation's description gives in full. A world's room settings
are a member of its settings (`PATCH /worlds/{id}`)."""

import kest.server.rooms as rooms_package
from kest.server.settings import MAX_ROOM_RATE, MAX_SAFE, MIN_ROOM_RATE

_CAP = {"type": ["integer", "null"], "minimum": 0, "maximum": MAX_SAFE}
_COUNTS = ("frame", "committedFrame", "connections", "frames", "overruns", "rebased", "stalledCut")
_MILLISECONDS = ("latenessP50Ms", "latenessP99Ms", "latenessMaxMs", "commitLagP99Ms")
_SETTINGS = {
    "rate": {"type": "integer", "minimum": MIN_ROOM_RATE, "maximum": MAX_ROOM_RATE, "description": "frames a second"},
    "maxCommandsPerPlayer": _CAP,
    "maxCommands": _CAP,
}

SCHEMAS = {
    "RoomSettings": {"type": "object", "additionalProperties": False, "properties": _SETTINGS},
    "RoomReport": {
        "type": "object",
        "required": ["open"],
        "properties": {
            "open": {"type": "boolean"},
            **_SETTINGS,
            **{name: {"type": "integer"} for name in (*_COUNTS, "floodClosed", "commitGroups", "commitFailures")},
            **{name: {"type": ["number", "null"]} for name in _MILLISECONDS},
        },
    },
}


def add_room_routes(document: dict, operation) -> None:
    """Describe the room routes in `document` with the host's `operation(summary, status, schema)`,
    and the room's member of a world's settings."""
    schemas = document["components"]["schemas"]
    schemas.update(SCHEMAS)
    schemas["Settings"]["properties"]["room"] = {"$ref": "#/components/schemas/RoomSettings"}
    report = operation(
        "the room's report (any token of the world); with `Upgrade: websocket`, join the room",
        "200",
        {"$ref": "#/components/schemas/RoomReport"},
    )
    report["description"] = rooms_package.__doc__
    report["responses"]["101"] = {"description": "switched to the room's wire protocol (`Upgrade: websocket`)"}
    document["paths"]["/worlds/{world_id}/room"] = {"get": report}
