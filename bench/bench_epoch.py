"""Offline epochs: what the actions cost next to parsing and writing the world, and what
catch-up costs next to the same epochs ticked one call at a time."""

import json

import worlds
from timing import best_times

import kest_engine_native as k

RULESET = {"attack": worlds.ATTACK}


def proposals(state: dict, epoch: int = 0) -> dict:
    """Every actor of the state attacks an entity of its own choosing."""
    entities = len(state["entities"])
    return {
        actor: {"actionId": "attack", "targetId": worlds.entity_id((i * 7 + epoch) % entities)}
        for i, actor in enumerate(worlds.actors(state))
    }


def epoch_cost(entities: int, actors: int, runs: int) -> list[tuple[str, str]]:
    state = worlds.world(entities, actor_fraction=actors / entities)
    base = {"worldId": "bench", "epochNumber": 1, "state": state, "ruleset": RULESET}
    busy_text = json.dumps({**base, "proposals": proposals(state)})
    idle_text = json.dumps(base)
    assert json.loads(k.tick_epoch(busy_text))["resolved"] == actors
    busy, idle = best_times(runs, lambda: k.tick_epoch(busy_text), lambda: k.tick_epoch(idle_text))
    return [
        (f"epoch, {entities} entities, {actors} actors acting (ms)", f"{busy * 1e3:.1f}"),
        (f"epoch, {entities} entities, no proposals (ms)", f"{idle * 1e3:.1f}"),
        ("epoch with actions / epoch without (limit 2)", f"{busy / idle:.2f}"),
    ]


def catch_up_cost(entities: int, actors: int, epochs: int, runs: int) -> list[tuple[str, str]]:
    state = worlds.world(entities, actor_fraction=actors / entities)
    by_epoch = {str(e): proposals(state, e) for e in range(1, epochs + 1)}
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

    caught_up, single = best_times(runs, lambda: k.catch_up_epochs(catch_up_text), singles)
    return [
        (f"catch-up of {epochs} epochs, {entities} entities, {actors} actors (ms)", f"{caught_up * 1e3:.1f}"),
        (f"{epochs} single epochs of the same world (ms)", f"{single * 1e3:.1f}"),
        (f"catch-up / {epochs} single epochs (limit about 1)", f"{caught_up / single:.2f}"),
    ]


def run(quick: bool) -> list[tuple[str, str]]:
    if quick:
        return epoch_cost(5_000, 200, 3) + catch_up_cost(200, 20, 20, 3)
    return epoch_cost(50_000, 2_000, 5) + catch_up_cost(1_000, 50, 100, 3)
