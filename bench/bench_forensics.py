"""Desync forensics: a sync test of a long frame session on a large world, and the diff of two
large states. The sync test ticks every frame twice and replays it once more in a rollback, so
it should cost a few frame ticks a frame; the diff should cost about two parses of the states."""

import json
import time

from bench_frame import PLAYERS, commands
from worlds import ATTACK, entities_for_bytes, entity_id, world

import kest_engine_native as k
from kest import forensics, synctest


def synctest_cost(entities: int, frames: int, distance: int) -> list[tuple[str, str]]:
    document = {
        "worldId": "bench",
        "state": world(entities),
        "ruleset": {"strike": ATTACK},
        "playerEntities": {f"p{p}": entity_id(p) for p in range(PLAYERS)},
        "commandsByFrame": {str(f): commands(entities, f) for f in range(1, frames + 1)},
    }
    session = synctest.parse_session(document, synctest.FRAMES)
    tick_text = json.dumps(
        {key: document[key] for key in ("worldId", "state", "ruleset", "playerEntities")}
        | {"frameNumber": 1, "commands": commands(entities, 1)}
    )
    start = time.perf_counter()
    k.tick_frame(tick_text)
    tick = time.perf_counter() - start
    start = time.perf_counter()
    outcome = synctest.run(session, frames, distance, say=lambda line: None)
    seconds = time.perf_counter() - start
    assert outcome.mismatch is None and len(outcome.hashes) == frames
    workload = f"{frames} frames, {entities} entities, check distance {distance}"
    return [
        (f"synctest, {workload} (s, target < 60)", f"{seconds:.1f}"),
        ("synctest per frame / one tick_frame", f"{seconds / frames / tick:.2f}"),
    ]


def diff_cost(size: float) -> list[tuple[str, str]]:
    entities = entities_for_bytes(size)
    a = json.dumps(world(entities), ensure_ascii=False)
    changed = world(entities)
    for index in range(0, entities, 1000):
        changed["entities"][entity_id(index)]["properties"]["hp"] += 1
    b = json.dumps(changed, ensure_ascii=False)
    start = time.perf_counter()
    findings = forensics.diff_states(json.loads(a), json.loads(b))
    seconds = time.perf_counter() - start
    assert len(findings) == len(range(0, entities, 1000))
    start = time.perf_counter()
    json.loads(a), json.loads(b)
    parse = time.perf_counter() - start
    return [
        (f"diff_states of two {size / 1e6:.0f} MB states, parsing included (s, target < 2)", f"{seconds:.2f}"),
        ("diff_states / parsing both states", f"{seconds / parse:.2f}"),
    ]


def run(quick: bool) -> list[tuple[str, str]]:
    if quick:
        return synctest_cost(500, 100, 8) + diff_cost(1e6)
    return synctest_cost(5_000, 1_000, 8) + diff_cost(10e6)
