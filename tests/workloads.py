"""Calls of every function of the module, each a success and a refusal, varied by an index so that
different indexes give different inputs and results. Shared by the tests that run the whole
surface many times over: from several threads at once, and in long loops watching memory."""

import json
from collections.abc import Callable

import kest_engine_native as k
from kest import bundles, campaign, chain

KEY = "workload key"
ENTITIES = 40

# One call: a label, the function and its positional arguments.
Call = tuple[str, Callable, tuple]


def world(index: int) -> dict:
    entities = {f"e{n}": {"properties": {"hp": 10 + n + index}, "tags": ["acts_offline", "x"]} for n in range(ENTITIES)}
    return {"entities": entities, "label": f"world {index}"}


HIT = {"type": "sub_prop", "target": "target", "property": "hp", "value": {"type": "dice", "equation": "1d6"}}
CHECK = {
    "type": "check",
    "roll": {"type": "dice", "equation": "1d20+2"},
    "dc": {"type": "literal", "value": 11},
    "degrees": {
        "success": {"condition": {"type": "delta_gte", "value": 0}, "mutations": [HIT]},
        "failure": {"condition": {"type": "delta_lte", "value": -1}, "mutations": []},
    },
}
VOLLEY = [{"type": "foreach_target", "select": {"tag": "x", "limit": 8}, "mutations": [{**HIT, "target": "each"}]}]
RULESET = {"strike": {"kind": "check", "check": CHECK}, "volley": {"kind": "mutations", "mutations": VOLLEY}}


def proposals(index: int) -> dict:
    action = ["strike", "volley"]
    return {
        f"e{n}": {"actionId": action[(n + index) % 2], "targetId": f"e{(n + 1) % ENTITIES}"} for n in range(ENTITIES)
    }


def commands(index: int) -> list:
    return [{"playerId": f"p{n}", "seq": index - n, **proposals(index)[f"e{n}"]} for n in range(ENTITIES)]


def resume_document(index: int) -> str:
    world_id = f"world-{index}"
    by_epoch = {str(epoch): proposals(index + epoch) for epoch in range(1, 6)}
    states, events = campaign.live_epochs(world_id, world(index), RULESET, by_epoch, 3)
    bundle = bundles.suspend(KEY, world_id, states[1], chain.sign_chain(KEY, events), 1)
    return bundles.resume_input(KEY, bundle, 5, 2, ruleset=RULESET, proposalsByEpoch=by_epoch)


def successes(index: int) -> list[Call]:
    state = json.dumps(world(index))
    frame = {"worldId": f"w{index}", "ruleset": RULESET, "playerEntities": {f"p{n}": f"e{n}" for n in range(ENTITIES)}}
    return [
        ("version", k.version, ()),
        ("band_from_distance_ft", k.band_from_distance_ft, (index * 7 - 10,)),
        ("band_within", k.band_within, (["engaged", "near", "far"][index % 3], "near")),
        ("roll_die", k.roll_die, (index, 6 + index)),
        ("roll_dice", k.roll_dice, (index, 50 + index, 20)),
        ("pcg32_next", k.pcg32_next, (index * 1_000_003,)),
        ("floor_div", k.floor_div, (index - 50, 7)),
        ("initiative_order_ids", k.initiative_order_ids, ([(n, (n * index) % 5, n % 3, 20 - n) for n in range(50)],)),
        ("hmac_sha256_hex", k.hmac_sha256_hex, (f"key {index}".encode(), state)),
        ("sign_record", k.sign_record, (KEY.encode(), index, "EpochResolved", state, f"sig {index}")),
        ("world_state_hash", k.world_state_hash, (KEY, state)),
        ("global_region_hash", k.global_region_hash, (KEY, json.dumps({"r1": world(index), "r2": world(index + 1)}))),
        ("evaluate_action", k.evaluate_action, (state, json.dumps(CHECK), "e1", "e2", index)),
        ("apply_triggered_mutations", k.apply_triggered_mutations, (state, json.dumps(VOLLEY), "e1", None, index)),
        (
            "tick_epoch",
            k.tick_epoch,
            (
                json.dumps(
                    {
                        "worldId": f"w{index}",
                        "epochNumber": index,
                        "state": world(index),
                        "proposals": proposals(index),
                        "ruleset": RULESET,
                    }
                ),
            ),
        ),
        (
            "catch_up_epochs",
            k.catch_up_epochs,
            (
                json.dumps(
                    {
                        "worldId": f"w{index}",
                        "currentEpoch": 3,
                        "maxCatchup": 2,
                        "state": world(index),
                        "ruleset": RULESET,
                        "proposalsByEpoch": {"1": proposals(index)},
                    }
                ),
            ),
        ),
        ("resume_session", k.resume_session, (resume_document(index),)),
        (
            "tick_frame",
            k.tick_frame,
            (json.dumps({**frame, "frameNumber": index, "state": world(index), "commands": commands(index)}),),
        ),
        (
            "reconcile_frames",
            k.reconcile_frames,
            (
                json.dumps(
                    {
                        **frame,
                        "correctedState": {**world(index), "frame": index},
                        "toFrame": index + 3,
                        "commandsByFrame": {str(index + 1): commands(index)},
                    }
                ),
            ),
        ),
    ]


def refusals(index: int) -> list[Call]:
    """Calls that raise: a conversion error, or an engine message that names something of the index."""
    name = f"n{index}" * 50
    unknown = json.dumps([{"type": name}])
    return [
        ("band_from_distance_ft", k.band_from_distance_ft, (f"{index}",)),
        ("roll_die", k.roll_die, (-1 - index, 6)),
        ("floor_div", k.floor_div, (index, 0)),
        ("initiative_order_ids", k.initiative_order_ids, ([(index, 1, 2)],)),
        ("hmac_sha256_hex", k.hmac_sha256_hex, (name, "m")),
        ("sign_record", k.sign_record, (b"k", index, "T", json.dumps({name: 0.5}), "")),
        ("world_state_hash", k.world_state_hash, (KEY, json.dumps({name: -0.0}))),
        ("global_region_hash", k.global_region_hash, (KEY, "{" + name)),
        ("evaluate_action", k.evaluate_action, ("{}", json.dumps({**CHECK, "roll": {"type": name}}), "a")),
        ("apply_triggered_mutations", k.apply_triggered_mutations, ("{}", unknown, "a")),
        ("tick_epoch", k.tick_epoch, (json.dumps({"worldId": name + "e\u0301", "epochNumber": index}),)),
        (
            "catch_up_epochs",
            k.catch_up_epochs,
            (json.dumps({"worldId": "w", "currentEpoch": index, "maxCatchup": -1}),),
        ),
        (
            "resume_session",
            k.resume_session,
            (json.dumps({"key": name, "bundle": {}, "currentEpoch": index, "maxCatchup": 0}),),
        ),
        (
            "tick_frame",
            k.tick_frame,
            (json.dumps({"worldId": "w", "frameNumber": index, "commands": [{"seq": name}]}),),
        ),
        (
            "reconcile_frames",
            k.reconcile_frames,
            (json.dumps({"worldId": "w", "correctedState": {"frame": index + 1}, "toFrame": index}),),
        ),
    ]


def outcome(call: Call):
    """What a call gives: its result, or the type and text of what it raised."""
    _, function, arguments = call
    try:
        return ("result", function(*arguments))
    except Exception as failure:  # noqa: BLE001 - every failure is part of the outcome
        return (type(failure).__name__, str(failure))
