"""Rules actions: `evaluate_action` on a large world next to parsing plus writing the same world
with the engine's own JSON layer, measured in one run. The baseline is `apply_triggered_mutations`
with an empty list, which parses the state, validates nothing, and writes the state back."""

import json

from timing import best_times
from worlds import entity_id, world

import kest_engine_native as k


def three_mutations(target: str) -> list[dict]:
    return [
        {"type": "sub_prop", "target": target, "property": "hp", "value": {"type": "dice", "equation": "1d6"}},
        {"type": "add_tag", "target": target, "tag": "wounded"},
        {"type": "add_prop", "target": "actor", "property": "xp", "value": {"type": "literal", "value": 1}},
    ]


# 1d20+5 against a dc; either degree applies three mutations, so every seed does the same work.
CHECK = {
    "type": "check",
    "roll": {"type": "dice", "equation": "1d20+5"},
    "dc": {"type": "literal", "value": 15},
    "degrees": {
        "success": {"condition": {"type": "delta_gte", "value": 0}, "mutations": three_mutations("target")},
        "failure": {"condition": {"type": "delta_lte", "value": -1}, "mutations": three_mutations("actor")},
    },
}


def run(quick: bool) -> list[tuple[str, str]]:
    entities = 5_000 if quick else 50_000
    runs = 3 if quick else 7
    state = json.dumps(world(entities))
    check = json.dumps(CHECK)
    size = len(state.encode())
    actor, target = entity_id(17), entity_id(entities // 2)
    action = json.loads(k.evaluate_action(state, check, actor, target, 0))
    assert action["degree"] in ("success", "failure")
    baseline, evaluate = best_times(
        runs,
        lambda: k.apply_triggered_mutations(state, "[]", actor),
        lambda: k.evaluate_action(state, check, actor, target, 0),
    )
    return [
        ("workload", f"{entities} entities, {size / 1e6:.1f} MB of JSON; 1d20+5 vs 15, three mutations"),
        ("parse + write (apply_triggered_mutations with [])", f"{baseline * 1e3:.1f} ms"),
        ("evaluate_action", f"{evaluate * 1e3:.1f} ms"),
        ("evaluate_action / (parse + write), at most 1.5x", f"{evaluate / baseline:.2f}x"),
    ]
