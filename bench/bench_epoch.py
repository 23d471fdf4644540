"""Offline epochs: what the actions cost next to parsing and writing the world, and what
catch-up costs next to the same epochs ticked one call at a time."""

import json
import time

import kest_engine_native as k

ATTACK = {
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
                    {"type": "add_prop", "target": "actor", "property": "xp", "value": {"type": "literal", "value": 1}},
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
RULESET = {"attack": ATTACK}


def world(entities: int, actors: int) -> dict:
    """Entities "0" to entities-1 with a few properties and tags; the first `actors` act offline."""
    return {
        "entities": {
            str(i): {
                "properties": {"hp": 100, "str": i % 5, "xp": 0},
                "tags": ["acts_offline", "npc"] if i < actors else ["npc", "scenery"],
            }
            for i in range(entities)
        }
    }


def proposals(entities: int, actors: int, epoch: int = 0) -> dict:
    return {str(i): {"actionId": "attack", "targetId": str((i * 7 + epoch) % entities)} for i in range(actors)}


def best_of(runs: int, call) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def epoch_cost(entities: int, actors: int, runs: int) -> list[tuple[str, str]]:
    base = {"worldId": "bench", "epochNumber": 1, "state": world(entities, actors), "ruleset": RULESET}
    busy_text = json.dumps({**base, "proposals": proposals(entities, actors)})
    idle_text = json.dumps(base)
    assert json.loads(k.tick_epoch(busy_text))["resolved"] == actors
    busy = best_of(runs, lambda: k.tick_epoch(busy_text))
    idle = best_of(runs, lambda: k.tick_epoch(idle_text))
    return [
        (f"epoch, {entities} entities, {actors} actors acting (ms)", f"{busy * 1e3:.1f}"),
        (f"epoch, {entities} entities, no proposals (ms)", f"{idle * 1e3:.1f}"),
        ("epoch with actions / epoch without (limit 2)", f"{busy / idle:.2f}"),
    ]


def catch_up_cost(entities: int, actors: int, epochs: int, runs: int) -> list[tuple[str, str]]:
    state = world(entities, actors)
    by_epoch = {str(e): proposals(entities, actors, e) for e in range(1, epochs + 1)}
    catch_up_text = json.dumps(
        {
            "worldId": "bench",
            "currentEpoch": epochs,
            "maxCatchup": epochs,
            "state": state,
            "ruleset": RULESET,
            "proposalsByEpoch": by_epoch,
        }
    )
    single_texts = [
        json.dumps(
            {"worldId": "bench", "epochNumber": e, "state": state, "ruleset": RULESET, "proposals": by_epoch[str(e)]}
        )
        for e in range(1, epochs + 1)
    ]
    assert json.loads(k.catch_up_epochs(catch_up_text))["epochsResolved"] == epochs

    def singles():
        for text in single_texts:
            k.tick_epoch(text)

    caught_up = best_of(runs, lambda: k.catch_up_epochs(catch_up_text))
    single = best_of(runs, singles)
    return [
        (f"catch-up of {epochs} epochs, {entities} entities, {actors} actors (ms)", f"{caught_up * 1e3:.1f}"),
        (f"{epochs} single epochs of the same world (ms)", f"{single * 1e3:.1f}"),
        (f"catch-up / {epochs} single epochs (limit about 1)", f"{caught_up / single:.2f}"),
    ]


def run(quick: bool) -> list[tuple[str, str]]:
    if quick:
        return epoch_cost(5_000, 200, 3) + catch_up_cost(200, 20, 20, 3)
    return epoch_cost(50_000, 2_000, 5) + catch_up_cost(1_000, 50, 100, 3)
