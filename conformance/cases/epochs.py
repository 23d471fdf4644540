"""Cases of the epoch tick and of catch-up over missed epochs."""

import random

from conformance.cases import ABSENT, DECOMPOSED_E, SAFE, boundary, call, document, dumps, entity, randomized
from conformance.cases.ast import ALWAYS, change, degree, dice, foreach, graded, lit, roll_reading_triggers, tagging
from conformance.cases.ast import check as check_node

HIT = change("sub_prop", "target", "hp", dice("1d6"))
# "fumble" draws its die and then fails on an out-of-range sum, so its draws must be given back.
RULESET = {
    "strike": {"kind": "check", "check": graded(dice("1d20+2"), lit(12), [HIT])},
    "heal": {"kind": "mutations", "mutations": [change("add_prop", "actor", "hp", dice("1d4"))]},
    "mark": {"kind": "mutations", "mutations": [tagging("add_tag", "target", "marked")]},
    "fumble": {"kind": "mutations", "mutations": [change("add_prop", "actor", "big", dice("1d6"))]},
    "void": {"kind": "check", "check": check_node(lit(1), lit(1), {"success": degree(ALWAYS, [])})},
    "broken": {"kind": "check", "check": {"type": "check", "roll": lit(1)}},
    "nocheck": {"kind": "check"},
    "nolist": {"kind": "mutations"},
    "odd": {"kind": "roll", "roll": []},
    "kindless": {"check": graded(lit(1), lit(1))},
    "numeric": {"kind": 5},
    "plain": 5,
}


STATE = {
    "entities": {
        "b": entity(["acts_offline"]),
        "a": entity(["acts_offline", "foe"]),
        "10": entity(["acts_offline"], big=SAFE),
        "9": entity(["acts_offline", "pc"]),
        "npc": entity(["foe"]),
        "x": entity("acts_offline"),
        "y": entity([5, "acts_offline"]),
    },
    "epoch": 99,
    "kept": {"member": [1, 2.5]},
}
PROPOSALS = {
    "9": {"actionId": "strike", "targetId": "a"},
    "10": {"actionId": "fumble"},
    "a": {"actionId": "heal", "targetId": 7},
    "b": {"actionId": "mark", "targetId": "npc"},
    "y": {"actionId": "strike", "targetId": "9"},
}


def tick(**members) -> dict:
    base = {"worldId": "w1", "epochNumber": 1, "state": STATE, "proposals": PROPOSALS, "ruleset": RULESET}
    return call(document(base | members))


def _every_action(action_id: str, target="a") -> dict:
    return {actor: {"actionId": action_id, "targetId": target} for actor in ("9", "10", "a", "b", "y")}


EPOCH_NUMBERS = [
    -3,
    0,
    1,
    2,
    SAFE,
    -SAFE,
    SAFE + 1,
    -SAFE - 1,
    2**63 - 1,
    2**63,
    -(2**63),
    2**64,
    7.0,
    7.5,
    "7",
    None,
    True,
    [],
    ABSENT,
]
CAPS = [ABSENT, None, 0, 1, 2, 3, SAFE, SAFE + 1, -1, 1.5, 2.0, "3", True, [], {}]
WORLD_IDS = ["w1", "", "\u00e9", DECOMPOSED_E, "\U0001f600", "w2", " ", 5, None, [], ABSENT]
ACTOR_TAGS = [
    ABSENT,
    [],
    [1, 2],
    ["foe"],
    ["foe", "pc"],
    ["pc", "foe", "pc"],
    "acts_offline",
    [None, "pc"],
    ["zzz"],
    {"0": "foe"},
]
STATES = [None, [], 5, "s", {}, {"entities": {}}, {"entities": []}, {"entities": None}, {"epoch": 3}, STATE]
STATES += [{"entities": {"solo": entity(["acts_offline"])}, "epoch": "old", "frame": 2}, {"entities": {"solo": 5}}]
PROPOSAL_SHAPES = [
    ABSENT,
    None,
    [],
    {},
    PROPOSALS,
    {"9": 5, "10": None, "a": [], "b": "strike"},
    {"9": {}, "10": {"actionId": ""}, "a": {"actionId": 5}, "b": {"actionId": None}},
    {"9": {"actionId": "nope"}, "10": {"actionId": "broken"}, "a": {"actionId": "nocheck"}, "b": {"actionId": "odd"}},
    {
        "9": {"actionId": "nolist"},
        "10": {"actionId": "kindless"},
        "a": {"actionId": "numeric"},
        "b": {"actionId": "plain"},
    },
    {
        "9": {"actionId": "strike"},
        "10": {"actionId": "strike", "targetId": None},
        "a": {"actionId": "void", "extra": 1},
    },
    {"9": {"actionId": "fumble"}, "10": {"actionId": "strike", "targetId": "a"}},
    {"npc": {"actionId": "heal"}, "ghost": {"actionId": "heal"}},
]
PROPOSAL_SHAPES += [_every_action(action_id) for action_id in RULESET]


# One actor rolling a wide die: its recorded value shows the first draws of each epoch's generator.
DRAW_STATE = {"entities": {"a": {"properties": {}, "tags": ["acts_offline"]}}}
DRAW_RULES = {"r": {"kind": "mutations", "mutations": [change("set_prop", "actor", "v", dice("3d100000"))]}}
DRAW_WORLDS = ["", "w1", "w2", "\u00e9", "\U0001f600", "0", "a longer world name"]
DRAW_EPOCHS = [*range(-3, 33), 255, 256, 65536, 2**31, 2**32, 2**53 - 2, SAFE, -SAFE]


def _draws(**members) -> dict:
    return call(dumps({"state": DRAW_STATE, "ruleset": DRAW_RULES} | members))


def _sampled_epochs(seed: int, count: int) -> list:
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        state = randomized.world(rng)
        tagged = [entity_id for entity_id, entity in state["entities"].items() if "acts_offline" in entity["tags"]]
        proposals = {
            actor: randomized.proposal(rng, state) for actor in tagged + rng.sample(list(state["entities"]), 1)
        }
        members = {"worldId": rng.choice(["w1", "w2", "\u00e9", ""]), "epochNumber": rng.randrange(-5, 50)}
        members |= {"state": state, "proposals": proposals, "ruleset": randomized.ruleset(rng)}
        if rng.random() < 0.3:
            members["maxActions"] = rng.randrange(0, 4)
        if rng.random() < 0.2:
            members["actorTags"] = rng.sample(randomized.TAGS, 2)
        cases.append(call(dumps(members)))
    return cases


def _large_world(size: int, seed: int) -> tuple[dict, dict]:
    rng = random.Random(seed)
    state = randomized.world(rng, size)
    for member in state["entities"].values():
        member["tags"].append("acts_offline")
    ids = list(state["entities"])
    proposals = {
        entity_id: {"actionId": rng.choice(["strike", "heal", "mark", "fumble", "nope"]), "targetId": rng.choice(ids)}
        for entity_id in ids
    }
    return state, proposals


# Ids in an order none of the engine's orders keeps: numeric ids by value (of any length, "-0" and
# "007" after their numeric equals), then the rest byte by byte, a proper prefix first.
ID_ORDER = ["b", "a", "10", "9", "007", "7", "-0", "0", "-10", "-9", "-1", "-", "", "+5", " 5", "5a", "Z"]
ID_ORDER += ["1" * 300, "9" * 299, "-" + "1" * 300, "\u00e9", "\ue000", "\U00010000", "a\u0000"]


def _ordered_actors(ids: list) -> dict:
    state = {"entities": {entity_id: entity(["acts_offline"]) for entity_id in ids}}
    proposals = {entity_id: {"actionId": "mark", "targetId": entity_id} for entity_id in ids}
    return tick(state=state, proposals=proposals)


# Actions that change which entities a later action's tag selection finds: each selection must see
# the working state as the actions before it left it.
SWEEPS = {
    "mark": {"kind": "mutations", "mutations": [tagging("add_tag", "target", "marked")]},
    "unmark": {"kind": "mutations", "mutations": [tagging("remove_tag", "target", "marked")]},
    "sweep": {"kind": "mutations", "mutations": [foreach("marked", [change("add_prop", "each", "hits", lit(1))])]},
}
SWEEP_STATE = {"entities": {str(n): entity(["acts_offline"] + (["marked"] if n == 5 else [])) for n in range(1, 7)}}
SWEEP_ORDERS = [
    ["mark 4", "sweep", "unmark 4", "sweep", "unmark 5", "sweep"],
    ["sweep", "mark 6", "mark 2", "sweep", "unmark 6", "sweep"],
    ["unmark 5", "sweep", "mark 5", "mark 5", "sweep", "sweep"],
]


def _sweep_proposals(order: list) -> dict:
    """Proposal by proposal, for the actors "1" to "6" in turn."""
    proposals = {}
    for actor, step in enumerate(order, 1):
        action_id, _, target = step.partition(" ")
        proposals[str(actor)] = {"actionId": action_id, "targetId": target} if target else {"actionId": action_id}
    return proposals


def _tick_tables() -> dict:
    large_state, large_proposals = _large_world(1200, 77)
    return {
        "documented": [
            tick(state=None),
            tick(state={"entities": {}}),
            tick(state={"entities": {"n": entity(["pc"])}}),
            tick(maxActions=0),
            tick(
                maxActions=1,
                proposals={"9": {"actionId": "nope"}, "10": {"actionId": "heal"}, "a": {"actionId": "heal"}},
            ),
            tick(proposals={"9": {"targetId": "a"}}),
            tick(epochNumber=-3),
            tick(epochNumber=7.0),
            tick(epochNumber=SAFE + 1),
            tick(maxActions=-1),
            tick(maxActions=1.5),
            tick(maxActions="3"),
            tick(maxActions=None),
            tick(worldId=DECOMPOSED_E),
            tick(worldId="\u00e9"),
            tick(worldId=DECOMPOSED_E, state=None),
            tick(proposals={"9": {"actionId": "heal"}}),
            tick(proposals={"9": {"actionId": "fumble"}, "10": {"actionId": "strike", "targetId": "a"}}),
            tick(proposals={"10": {"actionId": "strike", "targetId": "a"}}),
        ],
        "selection_across_actions": [
            tick(state=SWEEP_STATE, ruleset=SWEEPS, proposals=_sweep_proposals(order)) for order in SWEEP_ORDERS
        ],
        "actor_order": [_ordered_actors(ID_ORDER), _ordered_actors(ID_ORDER[::-1]), _ordered_actors(ID_ORDER[2:12])],
        "world_ids": [tick(worldId=world_id) for world_id in WORLD_IDS],
        "epoch_numbers": [tick(epochNumber=number) for number in EPOCH_NUMBERS],
        "max_actions": [tick(maxActions=cap) for cap in CAPS],
        "actor_tags": [tick(actorTags=tags) for tags in ACTOR_TAGS],
        "states": [tick(state=state) for state in STATES],
        "proposals": [tick(proposals=shape) for shape in PROPOSAL_SHAPES],
        "rulesets": [tick(ruleset=ruleset) for ruleset in (ABSENT, None, [], {}, 5, {"strike": RULESET["strike"]})],
        "fault_order": [
            tick(worldId=5, epochNumber="x", maxActions=-1),
            tick(epochNumber="x", maxActions=-1),
            tick(epochNumber=SAFE + 1, maxActions=-1),
            tick(worldId=DECOMPOSED_E, maxActions=-1),
            tick(worldId=DECOMPOSED_E, epochNumber=7.5),
        ],
        "documents": [
            call(text)
            for text in ("", "{", "[]", "5", "null", '"x"', '{"worldId":"w1","epochNumber":1} x', "[" * 128 + "]" * 128)
        ]
        + [call('{"worldId":"w1","epochNumber":1,"worldId":5}'), call('{"worldId":5,"epochNumber":1,"worldId":"w1"}')],
        "generator_derivation": [
            _draws(worldId=world_id, epochNumber=epoch, proposals={"a": {"actionId": "r"}})
            for world_id in DRAW_WORLDS
            for epoch in DRAW_EPOCHS
        ],
        "sampled": _sampled_epochs(6110, 600),
        # Refused at validation: "invalid_action", and the next actor draws what it would have.
        "roll_operands": [
            tick(
                ruleset=RULESET | {"reads": {"kind": "mutations", "mutations": mutations}},
                proposals=PROPOSALS | {"9": {"actionId": "reads"}},
            )
            for mutations in roll_reading_triggers()
        ],
        "large": [tick(state=large_state, proposals=large_proposals, maxActions=900)],
        "keyword": [call(input_json=document({"worldId": "w", "epochNumber": 0}))],
        "conversion": [boundary(None), boundary(b"{}"), boundary(5), boundary('"\ud800"')],
        "binding": [boundary(), boundary("{}", "{}"), boundary(text="{}")],
    }


def catch_up(**members) -> dict:
    base = {"worldId": "w1", "currentEpoch": 3, "maxCatchup": 5, "state": STATE | {"epoch": 0}, "ruleset": RULESET}
    base["proposalsByEpoch"] = {"1": PROPOSALS, "2": _every_action("strike"), "3": _every_action("heal", "9")}
    return call(document(base | members))


def _every_epoch(base: int, gap: int) -> dict:
    return {str(base + k): {"a": {"actionId": "r"}} for k in range(1, gap + 1)}


def _at(epoch) -> dict:
    return STATE | {"epoch": epoch}


KEYS_NEAR = {
    "11": PROPOSALS,
    "011": _every_action("mark"),
    "+12": _every_action("mark"),
    "12.0": _every_action("mark"),
    "13": 5,
}
NEGATIVE_KEYS = {
    "-1": _every_action("mark", "npc"),
    "0": _every_action("heal", "9"),
    "1": PROPOSALS,
    "-0": _every_action("strike"),
}


def _sampled_catch_ups(seed: int, count: int) -> list:
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        state = randomized.world(rng)
        actors = list(state["entities"])
        last = state.get("epoch", 0)
        by_epoch = {
            str(last + k): {actor: randomized.proposal(rng, state) for actor in actors}
            for k in range(1, 5)
            if rng.random() < 0.7
        }
        members = {
            "worldId": rng.choice(["w1", "w3", ""]),
            "currentEpoch": last + rng.randrange(-1, 6),
            "maxCatchup": rng.randrange(0, 4),
        }
        members |= {
            "state": state,
            "ruleset": randomized.ruleset(rng),
            "proposalsByEpoch": by_epoch,
            "actorTags": ["acts_offline", "foe"],
        }
        if rng.random() < 0.3:
            members["maxActions"] = rng.randrange(0, 3)
        cases.append(call(dumps(members)))
    return cases


def _catch_up_tables() -> dict:
    large_state, large_proposals = _large_world(1000, 78)
    return {
        "documented": [
            catch_up(state=_at(10), currentEpoch=10),
            catch_up(state=_at(12), currentEpoch=10),
            catch_up(state={k: v for k, v in STATE.items() if k != "epoch"}, currentEpoch=3, maxCatchup=5),
            catch_up(state=_at(10), currentEpoch=20, maxCatchup=3),
            catch_up(state=_at(10), currentEpoch=14, maxCatchup=0),
            catch_up(state=_at(10), currentEpoch=13, proposalsByEpoch=KEYS_NEAR),
            catch_up(state=_at(-2), currentEpoch=1, proposalsByEpoch=NEGATIVE_KEYS),
            catch_up(state=_at(2.5), currentEpoch=2),
            catch_up(state=_at(SAFE + 1)),
            catch_up(worldId=DECOMPOSED_E, state=_at(3), currentEpoch=3),
            catch_up(worldId=DECOMPOSED_E, state=_at(3), currentEpoch=5, maxCatchup=0),
            catch_up(worldId=DECOMPOSED_E, state=_at(3), currentEpoch=5),
        ],
        "current_epochs": [catch_up(currentEpoch=number) for number in EPOCH_NUMBERS],
        "max_catchup": [
            catch_up(maxCatchup=bound)
            for bound in [0, 1, 2, 3, 4, SAFE, SAFE + 1, -1, -(2**63), 2**63, 1.0, "2", None, [], ABSENT]
        ],
        "state_epochs": [
            catch_up(state=_at(epoch))
            for epoch in [
                0,
                1,
                3,
                4,
                -1,
                SAFE,
                -SAFE,
                SAFE + 1,
                -SAFE - 1,
                2**63,
                2**64,
                -(2**63),
                2.0,
                "1",
                None,
                True,
            ]
        ]
        + [catch_up(state=state) for state in STATES],
        "gaps": [
            catch_up(state=_at(base), currentEpoch=base + gap, maxCatchup=bound)
            for base in (0, -3)
            for gap in (0, 1, 2, 5)
            for bound in (0, 1, 3)
        ],
        "wide_gaps": [
            catch_up(state=_at(-SAFE), currentEpoch=SAFE, maxCatchup=2),
            catch_up(state=_at(2**63 - 1), currentEpoch=-SAFE, maxCatchup=2),
        ]
        + [catch_up(state=_at(-(2**63)), currentEpoch=SAFE, maxCatchup=1)],
        "proposals_by_epoch": [
            catch_up(proposalsByEpoch=shape)
            for shape in (ABSENT, None, [], 5, {}, {"1": None, "2": [], "3": "x"}, KEYS_NEAR, NEGATIVE_KEYS)
        ],
        "max_actions": [catch_up(maxActions=cap) for cap in CAPS],
        "actor_tags": [catch_up(actorTags=tags) for tags in ACTOR_TAGS],
        "world_ids": [catch_up(worldId=world_id) for world_id in WORLD_IDS],
        "fault_order": [
            catch_up(worldId=5, currentEpoch="x"),
            catch_up(currentEpoch="x", maxCatchup="x"),
            catch_up(currentEpoch=SAFE + 1, maxCatchup=-1),
            catch_up(maxCatchup=-1, state=_at(SAFE + 1)),
            catch_up(state=_at(SAFE + 1), maxActions=-1),
            catch_up(maxActions=-1, worldId=DECOMPOSED_E),
            catch_up(maxCatchup=SAFE + 1, currentEpoch=2.0),
        ],
        "documents": [
            call(text) for text in ("", "{", "[]", "7", "null", '{"worldId":"w1"} {}', "[" * 128 + "]" * 128)
        ],
        "generator_derivation": [
            _draws(
                worldId=world_id,
                currentEpoch=base + gap,
                maxCatchup=bound,
                state=DRAW_STATE | {"epoch": base},
                proposalsByEpoch=_every_epoch(base, gap),
            )
            for world_id in DRAW_WORLDS
            for base in (-2, 0, 5)
            for gap in (1, 2, 4)
            for bound in (1, 3)
        ],
        "sampled": _sampled_catch_ups(6220, 720),
        "large": [
            catch_up(
                state=large_state | {"epoch": 0}, currentEpoch=3, maxCatchup=2, proposalsByEpoch={"2": large_proposals}
            )
        ],
        "keyword": [call(input_json=document({"worldId": "w", "currentEpoch": 1, "maxCatchup": 1}))],
        "conversion": [boundary(None), boundary(b"{}"), boundary(3)],
        "binding": [boundary(), boundary("{}", "{}"), boundary(doc="{}")],
    }


TABLES = {"tick_epoch": _tick_tables(), "catch_up_epochs": _catch_up_tables()}
