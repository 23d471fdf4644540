"""A stand-in host for looking at the page before the real one serves it: the default world in
memory, ticked by the engine, behind the routes the page uses. Run as
`python tests/canned_host.py PORT`."""

import asyncio
import json
import pathlib
import sys
import time

import uvicorn
from starlette.applications import Starlette
from starlette.responses import JSONResponse, StreamingResponse
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from kest import campaign, world

PAGE = pathlib.Path(__file__).resolve().parent.parent / "kest" / "server" / "page"
TOKENS = {
    "gm-token": {"role": "gm", "worldId": "ashen-vale"},
    "player-token": {"role": "player", "worldId": "ashen-vale", "entityId": "aria"},
}
WORLD_ID, STATE = world.default_world()
STATE["entities"]["gob-2"]["name"] = "<script>window.pwned = 1</script><b>Grub</b>"
RULESET = world.default_ruleset()
host = {"state": STATE, "epoch": 0, "status": "live", "records": [], "proposals": {}, "changed": asyncio.Event()}


def who(request):
    token = request.headers.get("authorization", "").removeprefix("Bearer ")
    return TOKENS.get(token)


def view():
    return {
        "worldId": WORLD_ID,
        "epoch": host["epoch"],
        "frame": 0,
        "headSeq": len(host["records"]),
        "headSig": f"{len(host['records']):064x}",
        "state": host["state"],
        "status": host["status"],
        "epochSeconds": 60,
        "nextEpochAt": time.time() + 42,
        "actions": sorted(RULESET),
    }


def authorised(handler, gm=False):
    async def route(request):
        me = who(request)
        if me is None:
            return JSONResponse({"error": "unknown token"}, 401)
        if gm and me["role"] != "gm":
            return JSONResponse({"error": "only the game master may do this"}, 403)
        return await handler(request, me)

    return route


async def me(request, token):
    return JSONResponse(token)


async def worlds(request, token):
    return JSONResponse({"worlds": [{"worldId": WORLD_ID, "status": host["status"], "epoch": host["epoch"]}]})


async def one(request, token):
    return JSONResponse(view())


async def events(request, token):
    since = int(request.query_params.get("since", 0))
    return JSONResponse({"records": host["records"][since:]})


async def propose(request, token):
    body = await request.json()
    if body["actionId"] not in RULESET:
        return JSONResponse({"error": f"unknown action: {body['actionId']}"}, 400)
    proposal = {"actionId": body["actionId"]} | ({"targetId": body["targetId"]} if body.get("targetId") else {})
    host["proposals"][token.get("entityId") or body["entityId"]] = proposal
    return JSONResponse({"epoch": host["epoch"] + 1, "entityId": token.get("entityId"), "status": "filed"}, 202)


async def tick(request, token):
    host["epoch"] += 1
    output = campaign.tick_epoch(WORLD_ID, host["epoch"], host["state"], RULESET, host["proposals"])
    host["state"] = output["state"]
    seq = len(host["records"]) + 1
    host["records"].append(
        {"seq": seq, "type": "EpochResolved", "payload": output["event"], "proposals": host["proposals"]}
    )
    host["proposals"] = {}
    announce()
    return JSONResponse(view())


def status(value):
    async def change(request, token):
        host["status"] = value
        announce()
        return JSONResponse(view())

    return change


def announce():
    host["changed"].set()
    host["changed"] = asyncio.Event()


async def stream(request, token):
    since = int(request.query_params.get("since", 0))

    async def messages():
        sent = since
        while True:
            changed = host["changed"]
            update = {"world": view(), "records": host["records"][sent:]}
            sent = len(host["records"])
            yield f"event: update\ndata: {json.dumps(update)}\n\n"
            await changed.wait()

    return StreamingResponse(messages(), media_type="text/event-stream")


app = Starlette(
    routes=[
        Route("/me", authorised(me)),
        Route("/worlds", authorised(worlds)),
        Route("/worlds/{id}", authorised(one)),
        Route("/worlds/{id}/events", authorised(events)),
        Route("/worlds/{id}/stream", authorised(stream)),
        Route("/worlds/{id}/proposals", authorised(propose), methods=["POST"]),
        Route("/worlds/{id}/tick", authorised(tick, gm=True), methods=["POST"]),
        Route("/worlds/{id}/suspend", authorised(status("suspended"), gm=True), methods=["POST"]),
        Route("/worlds/{id}/resume", authorised(status("live"), gm=True), methods=["POST"]),
        Mount("/", StaticFiles(directory=PAGE, html=True)),
    ]
)

if __name__ == "__main__":
    uvicorn.run(app, host="127.0.0.1", port=int(sys.argv[1]), log_level="warning")
