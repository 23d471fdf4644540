"""Real-time frames: what rollback reconciliation over a full window costs next to one frame tick
of the same world and commands. The replayed state moves from frame to frame, so the window
should cost about its commands and events, not 4,096 copies of the world."""

import json
import time

import kest_engine_native as k

STRIKE = {
    "kind": "check",
    "check": {
        "type": "check",
        "roll": {
            "type": "math",
            "op": "add",
            "left": {"type": "dice", "equation": "1d20"},
            "right": {"type": "prop_ref", "target": "actor", "property": "str"},
        },
        "dc": {"type": "literal", "value": 12},
        "degrees": {
            "success": {
                "condition": {"type": "delta_gte", "value": 0},
                "mutations": [
                    {
                        "type": "sub_prop",
                        "target": "target",
                        "property": "hp",
                        "value": {"type": "dice", "equation": "1d6"},
                    },
                    {"type": "add_tag", "target": "target", "tag": "wounded"},
                ],
            },
            "failure": {
                "condition": {"type": "delta_lte", "value": -1},
                "mutations": [
                    {
                        "type": "add_prop",
                        "target": "actor",
                        "property": "fatigue",
                        "value": {"type": "literal", "value": 1},
                    }
                ],
            },
        },
    },
}
PLAYERS = 4


def world(entities: int) -> dict:
    """Entities "0" to entities-1 with a few properties and tags; players control the first ones."""
    return {
        "frame": 0,
        "entities": {
            str(i): {"properties": {"hp": 1_000_000, "str": i % 5, "fatigue": 0}, "tags": ["npc", "scenery"]}
            for i in range(entities)
        },
    }


def commands(entities: int, frame: int) -> list[dict]:
    return [
        {"playerId": f"p{p}", "seq": frame, "actionId": "strike", "targetId": str((frame * 31 + p * 7) % entities)}
        for p in range(PLAYERS)
    ]


def best_of(runs: int, call) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def reconcile_cost(entities: int, frames: int, runs: int) -> list[tuple[str, str]]:
    rules = {
        "ruleset": {"strike": STRIKE},
        "playerEntities": {f"p{p}": str(p) for p in range(PLAYERS)},
        "maxCommandsPerPlayer": 1,
    }
    state = world(entities)
    tick_text = json.dumps(
        {"worldId": "bench", "frameNumber": 1, "state": state, "commands": commands(entities, 1), **rules}
    )
    reconcile_text = json.dumps(
        {
            "worldId": "bench",
            "correctedState": state,
            "toFrame": frames,
            "commandsByFrame": {str(f): commands(entities, f) for f in range(1, frames + 1)},
            **rules,
        }
    )
    assert json.loads(k.tick_frame(tick_text))["resolved"] == PLAYERS
    replayed = json.loads(k.reconcile_frames(reconcile_text))
    assert replayed["framesReplayed"] == frames
    assert all(len(event["commands_processed"]) == PLAYERS for event in replayed["events"])

    tick = best_of(runs, lambda: k.tick_frame(tick_text))
    reconcile = best_of(runs, lambda: k.reconcile_frames(reconcile_text))
    workload = f"{entities} entities, {PLAYERS} commands a frame"
    return [
        (f"tick_frame, {workload} (ms)", f"{tick * 1e3:.1f}"),
        (f"reconcile_frames over {frames} frames, {workload} (ms)", f"{reconcile * 1e3:.1f}"),
        (f"reconcile {frames} frames / one tick (limit 25)", f"{reconcile / tick:.2f}"),
    ]


def run(quick: bool) -> list[tuple[str, str]]:
    return reconcile_cost(5_000, 4_096, 3 if quick else 7)
