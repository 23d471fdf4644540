"""Worst case within the limits: for each of the 19 functions, the most expensive input we can
build inside the documented limits, timed next to what the call cannot avoid, parsing its input
and writing its output. The baseline is the engine's own JSON layer: `apply_triggered_mutations`
with an empty list parses a document and writes it back, whatever it holds.

Calls that take no JSON and do constant work are timed next to as many calls of `version()`, the
bare cost of a call; a list of initiative entries next to parsing and writing it as JSON. Where a
bound chosen by the host sets the cost (a dice count, "maxCatchup", the number of proposals), the
row says so: the cost grows with that bound and not with the size of the world."""

import json

import bench_session
import worlds
from timing import best_times

import kest_engine_native as k

KEY = "bench key"
MAX_ENTITIES = 65_536


def parse_and_write(text: str):
    """What parsing `text` and writing it back costs, the floor of every call that takes it."""
    return lambda: k.apply_triggered_mutations(text, "[]", "a")


def foreach(tag: str, body: list, limit: int | None = None) -> dict:
    select = {"tag": tag} if limit is None else {"tag": tag, "limit": limit}
    return {"type": "foreach_target", "select": select, "mutations": body}


def repeat(count: int, body: list) -> list:
    return [{"type": "repeat", "count": count, "mutations": body}]


# 256,000 selections of a tag nobody carries: empty bodies charge no applied mutations, so the
# multiplicity of 1024 passes, and 250 loops fit the node budget.
EMPTY_SELECTIONS = repeat(16, repeat(16, repeat(4, [foreach("nobody", [], limit=1) for _ in range(250)])))
# An area effect: 1d6 off the hp of up to 8 entities carrying a tag one entity in 32 carries.
AREA = [
    foreach(
        "zone",
        [{"type": "sub_prop", "target": "each", "property": "hp", "value": {"type": "dice", "equation": "1d6"}}],
        limit=8,
    )
]
# 1,000 dice, the dice budget, in ten 100d100000 rolls.
THOUSAND_DICE = {"type": "dice", "equation": "100d100000"}


def zoned_world(entities: int, actor_fraction: float = 0.0) -> dict:
    """The benchmark world, one entity in 32 also tagged "zone"."""
    state = worlds.world(entities, actor_fraction=actor_fraction)
    for i, entity in enumerate(state["entities"].values()):
        if i % 32 == 0:
            entity["tags"] = sorted([*entity["tags"], "zone"])
    return state


def thousand_dice_check() -> dict:
    roll = THOUSAND_DICE
    for _ in range(9):
        roll = {"type": "math", "op": "add", "left": roll, "right": THOUSAND_DICE}
    # The applied-mutation budget spent on 32 selections of the zone.
    mutations = repeat(
        16,
        [
            foreach(
                "zone",
                [{"type": "add_prop", "target": "each", "property": "xp", "value": {"type": "literal", "value": 1}}],
                limit=32,
            )
            for _ in range(2)
        ],
    )
    return {
        "type": "check",
        "roll": roll,
        "dc": {"type": "literal", "value": 0},
        "degrees": {"success": {"condition": {"type": "delta_gte", "value": 0}, "mutations": mutations}},
    }


def row(name: str, workload: str, cost: float, base: float | None, note: str = "") -> tuple[str, str]:
    ratio = f"{cost / base:.1f}x" if base else "-"
    return (name, f"{cost * 1e3:9.1f} ms  {ratio:>8}  {workload}{'; ' + note if note else ''}")


CALLS = 1_000


def repeated(call):
    """`CALLS` calls of `call`, a refusal counting as an outcome like any other."""

    def calls():
        for _ in range(CALLS):
            try:
                call()
            except (ValueError, OverflowError):
                pass

    return calls


def primitives(runs: int) -> list[tuple[str, str]]:
    rows = []
    for name, call, workload in [
        ("version", k.version, f"{CALLS} calls"),
        ("band_from_distance_ft", lambda: k.band_from_distance_ft(-(2**63)), f"{CALLS} calls, the lowest distance"),
        ("band_within", lambda: k.band_within("n" * 4096, "n" * 4096), f"{CALLS} calls, 4 KB band names"),
        ("roll_die", lambda: k.roll_die(5, 2**31 + 1), f"{CALLS} calls, 2^31+1 sides (most rejected draws)"),
        ("pcg32_next", lambda: k.pcg32_next(2**64 - 1), f"{CALLS} calls, the largest seed"),
        ("floor_div", lambda: k.floor_div(-(2**63), -1), f"{CALLS} calls, the one overflowing quotient"),
    ]:
        cost, base = best_times(runs, repeated(call), repeated(k.version))
        rows.append(row(name, f"{workload} (against version())", cost, base))

    dice = 10_000_000
    (cost,) = best_times(runs, lambda: k.roll_dice(5, dice, 2**31 + 1))
    rows.append(
        row(
            "roll_dice",
            f"10^7 dice of 2^31+1 sides, {cost / dice * 1e9:.1f} ns a die",
            cost,
            None,
            "linear in the count the host passes (at most 2^32-1, about 430x this)",
        )
    )
    entries = [(i, (i * 7919) % 40, i % 5, (i * 31) % 20 + 1) for i in range(200_000)]
    text = json.dumps(entries)
    cost, base = best_times(runs, lambda: k.initiative_order_ids(entries), parse_and_write(text))
    rows.append(row("initiative_order_ids", "200,000 entries", cost, base, "n log n in the host's list"))
    return rows


def hashing(entities: int, runs: int) -> list[tuple[str, str]]:
    state = json.dumps(zoned_world(entities), ensure_ascii=False)
    deep = "[" * 126 + "]" * 126
    wide_payload = json.dumps({f"Zoë {i}": [i, {"é": "ü" * 8}] for i in range(200_000)}, ensure_ascii=False)
    regions = json.dumps({f"r{i}": {"entities": {"a": {"tags": ["x"]}}} for i in range(100_000)})
    message = "ü" * 5_000_000
    rows = []
    for name, call, text, workload in [
        ("hmac_sha256_hex", lambda: k.hmac_sha256_hex(b"k", message), json.dumps(message), "a 10 MB message"),
        (
            "sign_record",
            lambda: k.sign_record(b"k", 2**64 - 1, "T", wide_payload, "g"),
            wide_payload,
            "200,000 non-ASCII keys",
        ),
        ("sign_record", lambda: k.sign_record(b"k", 1, "T", deep, "g"), deep, "126 levels deep"),
        ("world_state_hash", lambda: k.world_state_hash(KEY, state), state, f"{entities} entities"),
        ("global_region_hash", lambda: k.global_region_hash(KEY, regions), regions, "100,000 regions"),
    ]:
        cost, base = best_times(runs, call, parse_and_write(text))
        rows.append(row(name, workload, cost, base))
    return rows


def rules(entities: int, runs: int) -> list[tuple[str, str]]:
    state = json.dumps(zoned_world(entities), ensure_ascii=False)
    base = parse_and_write(state)
    tag_edits = repeat(16, repeat(2, [foreach("zone", [{"type": "add_tag", "target": "each", "tag": "seen"}])]))
    rows = []
    for name, call, workload in [
        (
            "apply_triggered_mutations",
            lambda: k.apply_triggered_mutations(state, json.dumps(EMPTY_SELECTIONS), "e1"),
            "256,000 selections of an absent tag",
        ),
        (
            "apply_triggered_mutations",
            lambda: k.apply_triggered_mutations(state, json.dumps(tag_edits), "e1"),
            "1,024 tag edits through 32 selections",
        ),
        (
            "evaluate_action",
            lambda: k.evaluate_action(state, json.dumps(thousand_dice_check()), "e1"),
            "1,000 dice, then 1,024 edits",
        ),
    ]:
        cost, baseline = best_times(runs, call, base)
        rows.append(row(name, f"{workload}, {entities} entities", cost, baseline))

    # One entity with a long tag list, edited as often as the budget allows: each edit is in
    # place, but still reads the list once.
    tags = 10_000
    crowded = json.dumps({"entities": {"e": {"properties": {}, "tags": [f"t{i:05d}" for i in range(tags)]}}})
    edits = repeat(16, repeat(16, repeat(2, [tag_node("add_tag", "t05000x"), tag_node("remove_tag", "t05000x")])))
    cost, baseline = best_times(
        runs, lambda: k.apply_triggered_mutations(crowded, json.dumps(edits), "e"), parse_and_write(crowded)
    )
    rows.append(
        row("apply_triggered_mutations", f"1,024 tag edits of one entity holding {tags:,} tags", cost, baseline)
    )
    return rows


def tag_node(op: str, tag: str) -> dict:
    return {"type": op, "target": "actor", "tag": tag}


def area_epoch(entities: int, actors: int, runs: int) -> tuple[float, float, str]:
    state = zoned_world(entities, actor_fraction=actors / entities)
    base = {
        "worldId": "bench",
        "epochNumber": 1,
        "state": state,
        "ruleset": {"area": {"kind": "mutations", "mutations": AREA}},
    }
    busy = json.dumps({**base, "proposals": {a: {"actionId": "area"} for a in worlds.actors(state)}})
    idle = json.dumps(base)
    assert json.loads(k.tick_epoch(busy))["resolved"] == actors
    cost, baseline = best_times(runs, lambda: k.tick_epoch(busy), lambda: k.tick_epoch(idle))
    return cost, baseline, busy


def epochs(entities: int, actors: int, runs: int) -> list[tuple[str, str]]:
    cost, idle, busy = area_epoch(entities, actors, runs)
    rows = [row("tick_epoch", f"{actors} area effects, {entities} entities (against the idle epoch)", cost, idle)]
    cost, base = best_times(runs, lambda: k.tick_epoch(busy), parse_and_write(busy))
    rows.append(row("tick_epoch", "the same epoch against parse + write of its input", cost, base))

    state = zoned_world(entities, actor_fraction=actors / entities)
    tag_new = {"kind": "mutations", "mutations": [{"type": "add_tag", "target": "target", "tag": "new"}]}
    proposals = {a: {"actionId": "new", "targetId": f"{a}-new"} for a in worlds.actors(state)}
    text = json.dumps(
        {"worldId": "bench", "epochNumber": 1, "state": state, "ruleset": {"new": tag_new}, "proposals": proposals}
    )
    cost, base = best_times(runs, lambda: k.tick_epoch(text), parse_and_write(text))
    rows.append(row("tick_epoch", f"{actors} actors each creating an entity, {entities} entities", cost, base))

    hostile_actors = 8
    state = zoned_world(entities, actor_fraction=hostile_actors / entities)
    ruleset = {"empty": {"kind": "mutations", "mutations": EMPTY_SELECTIONS}}
    text = json.dumps(
        {
            "worldId": "bench",
            "epochNumber": 1,
            "state": state,
            "ruleset": ruleset,
            "proposals": {a: {"actionId": "empty"} for a in worlds.actors(state)},
        }
    )
    cost, base = best_times(runs, lambda: k.tick_epoch(text), parse_and_write(text))
    rows.append(
        row(
            "tick_epoch",
            f"{hostile_actors} actors each running the 256,000-selection rule, {entities} entities",
            cost,
            base,
            "grows with the proposals, not the world",
        )
    )

    epochs_count, catch_actors, catch_entities = 64, 256, entities // 8
    state = zoned_world(catch_entities, actor_fraction=catch_actors / catch_entities)
    proposals = {a: {"actionId": "area"} for a in worlds.actors(state)}
    text = json.dumps(
        {
            "worldId": "bench",
            "currentEpoch": epochs_count,
            "maxCatchup": epochs_count,
            "state": state,
            "ruleset": {"area": {"kind": "mutations", "mutations": AREA}},
            "proposalsByEpoch": {str(e): proposals for e in range(1, epochs_count + 1)},
        }
    )
    cost, base = best_times(runs, lambda: k.catch_up_epochs(text), parse_and_write(text))
    rows.append(
        row(
            "catch_up_epochs",
            f"{epochs_count} epochs of {catch_actors} area effects, {catch_entities} entities",
            cost,
            base,
            "grows with maxCatchup, which the host chooses",
        )
    )
    return rows


def frames(entities: int, frames_count: int, runs: int) -> list[tuple[str, str]]:
    players = 4
    rules = {
        "ruleset": {"area": {"kind": "mutations", "mutations": AREA}},
        "playerEntities": {f"p{p}": worlds.entity_id(p) for p in range(players)},
    }

    def commands(frame: int) -> list[dict]:
        return [{"playerId": f"p{p}", "seq": frame, "actionId": "area"} for p in range(players)]

    state = zoned_world(entities)
    tick = json.dumps({"worldId": "bench", "frameNumber": 1, "state": state, "commands": commands(1), **rules})
    window = json.dumps(
        {
            "worldId": "bench",
            "correctedState": state,
            "toFrame": frames_count,
            "commandsByFrame": {str(f): commands(f) for f in range(1, frames_count + 1)},
            **rules,
        }
    )
    assert json.loads(k.tick_frame(tick))["resolved"] == players
    cost, base = best_times(runs, lambda: k.tick_frame(tick), parse_and_write(tick))
    rows = [row("tick_frame", f"{players} area effects, {entities} entities", cost, base)]
    reconcile, one_tick = best_times(runs, lambda: k.reconcile_frames(window), lambda: k.tick_frame(tick))
    rows.append(
        row(
            "reconcile_frames",
            f"{frames_count} frames of {players} area effects, {entities} entities (against one tick_frame)",
            reconcile,
            one_tick,
        )
    )
    cost, base = best_times(runs, lambda: k.reconcile_frames(window), parse_and_write(window))
    rows.append(row("reconcile_frames", "the same window against parse + write of its input", cost, base))
    return rows


def resume(entities: int, tail: int, runs: int) -> list[tuple[str, str]]:
    state = worlds.world(entities, actor_fraction=0.1)
    text = bench_session.resume_text(state, tail)
    cost, base = best_times(runs, lambda: k.resume_session(text), parse_and_write(text))
    return [row("resume_session", f"a tail of {tail} records, {entities} entities", cost, base)]


def run(quick: bool) -> list[tuple[str, str]]:
    runs = 1 if quick else 2
    scale = 8 if quick else 1
    header = [("function", "    best time     ratio  workload")]
    return (
        header
        + primitives(5)
        + hashing(MAX_ENTITIES // scale, runs)
        + rules(MAX_ENTITIES // scale, runs)
        + epochs(50_000 // scale, 2_000 // scale, runs)
        + frames(5_000, 4_096 // scale, runs)
        + resume(5_000, 2_000 // scale, runs)
    )
