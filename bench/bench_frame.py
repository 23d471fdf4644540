"""Real-time frames: what rollback reconciliation over a full window costs next to one frame tick
of the same world and commands. The replayed state moves from frame to frame, so the window
should cost about its commands and events, not 4,096 copies of the world."""

import json

from timing import best_times
from worlds import ATTACK, entity_id, world

import kest_engine_native as k

PLAYERS = 4


def commands(entities: int, frame: int) -> list[dict]:
    return [
        {
            "playerId": f"p{p}",
            "seq": frame,
            "actionId": "strike",
            "targetId": entity_id((frame * 31 + p * 7) % entities),
        }
        for p in range(PLAYERS)
    ]


def reconcile_cost(entities: int, frames: int, runs: int) -> list[tuple[str, str]]:
    rules = {
        "ruleset": {"strike": ATTACK},
        "playerEntities": {f"p{p}": entity_id(p) for p in range(PLAYERS)},
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

    tick, reconcile = best_times(runs, lambda: k.tick_frame(tick_text), lambda: k.reconcile_frames(reconcile_text))
    workload = f"{entities} entities, {PLAYERS} commands a frame"
    return [
        (f"tick_frame, {workload} (ms)", f"{tick * 1e3:.1f}"),
        (f"reconcile_frames over {frames} frames, {workload} (ms)", f"{reconcile * 1e3:.1f}"),
        (f"reconcile {frames} frames / one tick (limit 25)", f"{reconcile / tick:.2f}"),
    ]


def run(quick: bool) -> list[tuple[str, str]]:
    return reconcile_cost(5_000, 4_096, 3 if quick else 7)
