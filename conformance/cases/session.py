"""Cases of session resume: honest bundles, and bundles tampered with in every way the resume
checks name, each reaching the check meant for it."""

import copy
import random

from conformance.cases import ABSENT, DECOMPOSED_E, SAFE, boundary, call, document, dumps, present, randomized
from conformance.cases.epochs import CAPS, DRAW_RULES, DRAW_STATE, DRAW_WORLDS, PROPOSALS, RULESET, STATE
from kest import bundles, campaign, chain

KEY = "server key"
WORLD_ID = "w1"
BY_EPOCH = {str(epoch): PROPOSALS for epoch in range(1, 6)}
# Catch-up after resume reads only the epochs after the chain's last one.
LATER = {str(epoch): PROPOSALS for epoch in range(6, 9)}


def _campaign(world_id: str, state, ruleset, by_epoch, epochs: int, key=KEY, genesis=chain.GENESIS):
    """The states after each epoch and the signed records of their events."""
    states, events = campaign.live_epochs(world_id, state, ruleset, by_epoch, epochs)
    return states, chain.sign_chain(key, events, genesis)


# The epoch tick's state carries a fraction, which has no hash; a bundle's state must have one.
SIGNABLE = {name: value for name, value in STATE.items() if name != "kept"} | {"epoch": 0}
STATES, RECORDS = _campaign(WORLD_ID, SIGNABLE, RULESET, BY_EPOCH, 5)
HONEST = bundles.suspend(KEY, WORLD_ID, STATES[2], RECORDS, 2)


def _rebind(bundle: dict, key=KEY) -> dict:
    """Re-signs the binding over whatever the bundle now says, as a forger holding the key would."""
    snapshot, seal = bundle["snapshot"], bundle["seal"]
    texts = ["kest.bundle.bind/1", bundle["worldId"], snapshot["stateHash"], str(snapshot["eventIndex"])]
    texts += [bundle.get("tailGenesis", ""), str(seal["count"]), seal["head"]]
    bundle["binding"] = chain.mac(key, "".join(chain.field(text) for text in texts))
    return bundle


def _reseal(bundle: dict, count: int, head: str) -> dict:
    bundle["seal"] = {
        "count": count,
        "head": head,
        "sig": chain.mac(KEY, chain.field("kest.chain.seal/1") + chain.field(str(count)) + chain.field(head)),
    }
    return _rebind(bundle)


def _restate(bundle: dict, state) -> dict:
    """Replaces the snapshot state and signs everything over it again."""
    bundle["snapshot"]["state"] = state
    bundle["snapshot"]["stateHash"] = bundles.state_hash(KEY, state)
    return _rebind(bundle)


def _set(path: tuple, value):
    def tamper(bundle):
        target = bundle
        for step in path[:-1]:
            target = target[step]
        if value is ABSENT:
            del target[path[-1]]
        else:
            target[path[-1]] = value
        return bundle

    return tamper


def _tail_record(index: int, member: str, value):
    return _set(("chainTail", index, member), value)


def _drop_tail(index: int):
    def tamper(bundle):
        del bundle["chainTail"][index]
        return bundle

    return tamper


def _swap_tail(bundle):
    tail = bundle["chainTail"]
    tail[0], tail[1] = tail[1], tail[0]
    return bundle


def _flipped(signature: str) -> str:
    """The signature with its first digit changed."""
    return ("1" if signature[0] == "0" else "0") + signature[1:]


def _state_member(name: str, value):
    return lambda bundle: _restate(bundle, bundle["snapshot"]["state"] | {name: value})


# Each tampering, by name, with the check it is meant to reach.
TAMPERS = {
    "none": lambda bundle: bundle,
    "snapshot_absent": _set(("snapshot",), ABSENT),
    "snapshot_number": _set(("snapshot",), 5),
    "state_absent": _set(("snapshot", "state"), ABSENT),
    "state_hash_absent": _set(("snapshot", "stateHash"), ABSENT),
    "state_hash_number": _set(("snapshot", "stateHash"), 5),
    "tail_object": _set(("chainTail",), {}),
    "tail_string": _set(("chainTail",), "records"),
    "state_not_object": lambda bundle: _restate(bundle, [1, 2]),
    "entities_absent": lambda bundle: _restate(bundle, {"epoch": 2}),
    "entities_array": _state_member("entities", []),
    "state_fraction": _set(("snapshot", "state", "note"), 1.5),
    "state_unsafe": _set(("snapshot", "state", "note"), SAFE + 1),
    "state_negative_zero": _set(("snapshot", "state", "note"), -0.0),
    "state_proto": _set(("snapshot", "state", "__proto__"), 1),
    "state_not_nfc": _set(("snapshot", "state", "note"), DECOMPOSED_E),
    "state_number_changed": _set(("snapshot", "state", "epoch"), 3),
    "state_hash_uppercase": lambda bundle: _set(("snapshot", "stateHash"), bundle["snapshot"]["stateHash"].upper())(
        bundle
    ),
    "seal_absent": _set(("seal",), ABSENT),
    "seal_array": _set(("seal",), []),
    "seal_count_negative": _set(("seal", "count"), -1),
    "seal_count_float": _set(("seal", "count"), 5.0),
    "seal_count_string": _set(("seal", "count"), "5"),
    "seal_head_number": _set(("seal", "head"), 5),
    "seal_sig_absent": _set(("seal", "sig"), ABSENT),
    "seal_sig_flipped": lambda bundle: _set(("seal", "sig"), _flipped(bundle["seal"]["sig"]))(bundle),
    "seal_sig_uppercase": lambda bundle: _set(("seal", "sig"), bundle["seal"]["sig"].upper())(bundle),
    "seal_count_bumped": lambda bundle: _set(("seal", "count"), bundle["seal"]["count"] + 1)(bundle),
    "seal_head_not_nfc": lambda bundle: _reseal(bundle, bundle["seal"]["count"], DECOMPOSED_E),
    "event_index_float": _set(("snapshot", "eventIndex"), 2.0),
    "event_index_negative": _set(("snapshot", "eventIndex"), -1),
    "event_index_unsafe": _set(("snapshot", "eventIndex"), SAFE + 1),
    "event_index_string": _set(("snapshot", "eventIndex"), "2"),
    "event_index_absent": _set(("snapshot", "eventIndex"), ABSENT),
    "event_index_changed": _set(("snapshot", "eventIndex"), 1),
    "world_id_changed": _set(("worldId",), "w2"),
    "world_id_number": _set(("worldId",), 7),
    "world_id_not_nfc": lambda bundle: _rebind(_set(("worldId",), DECOMPOSED_E)(bundle)),
    "tail_genesis_changed": _set(("tailGenesis",), "other"),
    "tail_genesis_absent": _set(("tailGenesis",), ABSENT),
    "tail_genesis_not_nfc": lambda bundle: _rebind(_set(("tailGenesis",), DECOMPOSED_E)(bundle)),
    "binding_absent": _set(("binding",), ABSENT),
    "binding_flipped": lambda bundle: _set(("binding",), _flipped(bundle["binding"]))(bundle),
    "binding_number": _set(("binding",), 5),
    "last_record_dropped": _drop_tail(-1),
    "last_record_dropped_head_rewritten": lambda bundle: _set(
        ("seal", "head"), _drop_tail(-1)(bundle)["chainTail"][-1]["sig"]
    )(bundle),
    "last_record_dropped_resealed": lambda bundle: _reseal(
        bundle, bundle["seal"]["count"], _drop_tail(-1)(bundle)["chainTail"][-1]["sig"]
    ),
    "middle_record_dropped": _drop_tail(1),
    "first_record_dropped": _drop_tail(0),
    "records_swapped": _swap_tail,
    "record_not_object": _set(("chainTail", 0), 5),
    "record_seq_absent": _tail_record(0, "seq", ABSENT),
    "record_seq_negative": _tail_record(0, "seq", -1),
    "record_seq_float": _tail_record(0, "seq", 2.0),
    "record_seq_changed": _tail_record(0, "seq", 9),
    "record_type_absent": _tail_record(0, "type", ABSENT),
    "record_type_changed": _tail_record(0, "type", "Other"),
    "record_type_not_nfc": _tail_record(0, "type", DECOMPOSED_E),
    "record_payload_absent": _tail_record(0, "payload", ABSENT),
    "record_payload_changed": _tail_record(0, "payload", {"epoch_number": 3}),
    "record_payload_fraction": _tail_record(1, "payload", 0.5),
    "record_prev_sig_absent": _tail_record(1, "prevSig", ABSENT),
    "record_prev_sig_changed": _tail_record(1, "prevSig", "0" * 64),
    "record_sig_absent": _tail_record(0, "sig", ABSENT),
    "record_sig_changed": _tail_record(0, "sig", "0" * 64),
    "record_sig_uppercase": lambda bundle: _tail_record(0, "sig", bundle["chainTail"][0]["sig"].upper())(bundle),
    "last_record_sig_absent": _tail_record(-1, "sig", ABSENT),
}


# The tamperings that edit, drop or swap tail records need a tail of at least two.
NEEDS_TWO_RECORDS = {name for name in TAMPERS if "record" in name}


def _resume(honest: dict, tamper: str = "none", **members) -> dict:
    tampered = TAMPERS[tamper](copy.deepcopy(honest))
    base = {
        "key": KEY,
        "bundle": tampered,
        "currentEpoch": 7,
        "maxCatchup": 1,
        "ruleset": RULESET,
        "proposalsByEpoch": LATER,
    }
    return call(document(base | members))


def _empty_tail_bundle() -> dict:
    return bundles.suspend(KEY, WORLD_ID, STATES[5], RECORDS, 5)


def _small_bundles() -> list:
    """Honest bundles of a one-entity world under many keys, world ids, genesis values and split
    points, each resumed past its chain's end."""
    by_epoch = {str(epoch): {"a": {"actionId": "r"}} for epoch in range(1, 5)}
    cases = []
    for world_id in DRAW_WORLDS:
        for key in ("", "k", "server key", "\u00e9"):
            for genesis in ("genesis", ""):
                states, records = _campaign(world_id, DRAW_STATE | {"epoch": 0}, DRAW_RULES, by_epoch, 2, key, genesis)
                for index in (0, 1, 2):
                    bundle = bundles.suspend(key, world_id, states[index], records, index, genesis)
                    members = {"key": key, "bundle": bundle, "currentEpoch": 4, "maxCatchup": 1}
                    cases.append(call(dumps(members | {"ruleset": DRAW_RULES, "proposalsByEpoch": by_epoch})))
    return cases


def _sampled(seed: int, count: int) -> list:
    rng = random.Random(seed)
    names = list(TAMPERS)
    cases = []
    for _ in range(count):
        world_id = rng.choice(["w1", "w2", "\u00e9", ""])
        state = randomized.world(rng) | {"epoch": rng.randrange(0, 3)}
        ruleset = randomized.ruleset(rng)
        epochs = rng.randrange(1, 4)
        actors = list(state["entities"])[:3]
        by_epoch = {str(epoch): {actor: randomized.proposal(rng, state) for actor in actors} for epoch in range(1, 9)}
        genesis = rng.choice([chain.GENESIS, "", "0" * 64])
        states, records = _campaign(world_id, state, ruleset, by_epoch, epochs, genesis=genesis)
        index = rng.randrange(0, epochs + 1)
        bundle = bundles.suspend(KEY, world_id, states[index], records, index, genesis)
        usable = names if len(records) - index >= 2 else [name for name in names if name not in NEEDS_TWO_RECORDS]
        tamper = "none" if rng.random() < 0.5 else rng.choice(usable)
        members = {"currentEpoch": state["epoch"] + epochs + rng.randrange(-2, 5), "maxCatchup": rng.randrange(0, 4)}
        members |= {
            "ruleset": ruleset,
            "proposalsByEpoch": by_epoch,
            "actorTags": rng.choice([ABSENT, ["acts_offline", "foe"]]),
        }
        if rng.random() < 0.2:
            members["maxActions"] = rng.randrange(0, 3)
        cases.append(_resume(bundle, tamper, **members))
    return cases


# A snapshot whose entities have every shape replay must cope with.
REPLAY_STATE = {
    "entities": {
        "e": {"properties": {"hp": 1}, "tags": ["c", "a", "c", 3]},
        "f": {"properties": [], "tags": "x"},
        "g": 5,
        "h": {"tags": ["c", "a", "b", "a"]},
    },
    "epoch": 0,
}


def _applied(*mutations, **action) -> dict:
    return {"epoch_number": 1, "actions_processed": [{"mutations_applied": list(mutations)} | action]}


REPLAY_PAYLOADS = [
    [{"epoch_number": 7}],
    [{}],
    [{"epoch_number": None}],
    [{"epoch_number": "x"}],
    [{"epoch_number": {"n": 3}}],
    [{"event_type": "Other", "epoch_number": 2}, {"epoch_number": 1}],
    [_applied({"target": "e", "op": "add_tag", "tag": "b"})],
    [_applied({"target": "e", "op": "add_tag", "tag": "a"})],
    [_applied({"target": "h", "op": "remove_tag", "tag": "a"})],
    [_applied({"target": "e", "op": "remove_tag", "tag": "zz"})],
    [_applied({"target": "f", "op": "add_tag", "tag": "t"}, {"target": "f", "op": "remove_tag", "tag": "x"})],
    [_applied({"target": "new", "op": "set_prop"})],
    [_applied({"target": "new", "op": "add_tag", "tag": 5})],
    [_applied({"target": "new", "op": "remove_tag", "tag": "t"})],
    [_applied({"target": "e", "op": "set_prop", "property": "hp", "next": None})],
    [_applied({"target": "e", "op": "add_prop", "property": "hp", "previous": 1})],
    [_applied({"target": "e", "op": "sub_prop", "property": "hp", "next": {"any": ["value"]}})],
    [_applied({"target": "e", "op": 5, "property": "mp", "next": 4})],
    [_applied({"target": "e", "property": "mp", "next": 4})],
    [_applied({"target": "e", "op": "add_tag", "property": "mp", "next": 4})],
    [_applied({"target": 5, "op": "set_prop", "property": "hp", "next": 2})],
    [_applied({"target": "f", "op": "set_prop", "property": "hp", "next": 2})],
    [_applied({"target": "g", "op": "set_prop", "property": "hp", "next": 2})],
    [_applied({"target": "h", "op": "set_prop", "property": "hp", "next": 2})],
    [_applied({"target": "e", "op": "set_prop", "property": 7, "next": 2})],
    [_applied(*[{"target": "e", "op": "add_prop", "property": "hp", "next": n} for n in (2, 3, 4)])],
    [{"epoch_number": 1, "actions_processed": []}],
    [{"epoch_number": 1, "actions_processed": {"mutations_applied": []}}],
    [{"epoch_number": 1, "actions_processed": [5, {"mutations_applied": {}}, {"mutations_applied": [5, None]}]}],
    [
        _applied({"target": "e", "op": "add_tag", "tag": "z"}),
        _applied({"target": "e", "op": "remove_tag", "tag": "c"}) | {"epoch_number": 2},
    ],
    # Every op but the two tag operations writes the recorded "next": a name this engine does not
    # apply, a value that is no string, none at all.
    [_applied({"target": "e", "op": "teleport", "property": "hp", "previous": 1, "next": 9})],
    [_applied({"target": "e", "op": "ADD_TAG", "tag": "b", "property": "hp", "next": 8})],
    [_applied({"target": "e", "op": "", "property": "mp", "next": -3})],
    [_applied({"target": "e", "op": "if", "property": "hp", "next": 0})],
    [_applied({"target": "e", "op": 0, "property": "hp", "next": 5})],
    [_applied({"target": "e", "op": None, "property": "hp", "next": 6})],
    [_applied({"target": "e", "op": ["add_tag"], "tag": "b", "property": "hp", "next": 7})],
    [_applied({"target": "e", "op": {"name": "remove_tag"}, "tag": "c", "property": "hp", "next": 7})],
    [_applied({"target": "e", "op": True, "property": "hp", "next": 2})],
    [_applied({"target": "e", "tag": "b", "property": "hp", "next": None})],
    [_applied({"target": "e", "op": "teleport", "property": "hp", "next": None})],
    [_applied({"target": "e", "op": "teleport", "property": "hp", "next": {"to": ["x", 1]}})],
    [_applied({"target": "e", "op": "teleport", "property": "hp", "previous": 1})],
    [_applied({"target": "e", "op": "teleport", "tag": "b", "next": 2})],
    [_applied({"target": "e", "op": "teleport", "property": 3, "next": 2})],
    [_applied({"target": "new", "op": "teleport"})],
    [_applied({"target": "new", "op": 9, "property": "hp", "next": 2})],
    [_applied({"target": "f", "op": "teleport", "property": "hp", "next": 2})],
    [_applied({"target": "g", "op": "teleport", "property": "hp", "next": 2})],
    [_applied({"target": "h", "property": "hp", "next": 2})],
    [_applied({"target": 5, "op": "teleport", "property": "hp", "next": 2})],
    [_applied({"target": None, "op": 7, "property": "hp", "next": 2}, {"target": ["e"], "property": "hp", "next": 2})],
    [
        _applied(
            {"target": "e", "op": "teleport", "property": "hp", "next": 2},
            {"target": "e", "op": "add_tag", "tag": "b"},
            {"target": "e", "op": "grow", "property": "hp", "next": 3},
            {"target": "new", "op": "remove_tag", "tag": "c"},
        ),
        _applied({"target": "e", "op": "shrink", "property": "hp", "next": 1}) | {"epoch_number": 2},
    ],
]


def _replays() -> list:
    """Signed tails whose payloads hold every form replay reads or skips; nothing is caught up
    afterwards, so the outcome is the replayed state itself."""
    cases = []
    for payloads in REPLAY_PAYLOADS:
        bundle = bundles.suspend(KEY, WORLD_ID, REPLAY_STATE, chain.sign_chain(KEY, payloads), 0)
        for current in (10, -1):
            cases.append(call(dumps({"key": KEY, "bundle": bundle, "currentEpoch": current, "maxCatchup": 0})))
    return cases


# What a recorded mutation's members may hold in tails of newer engines and of siblings, besides
# what this engine writes; ABSENT leaves the member out.
RECORDED_OPS = ["set_prop", "add_prop", "sub_prop", "add_tag", "remove_tag", "teleport", "swap", "Set_Prop", ""]
RECORDED_OPS += [0, 3, None, True, [], {"op": "add_tag"}, ABSENT]
RECORDED_NEXTS = [0, 7, -2, SAFE, None, "full", [1], {"n": 1}, ABSENT]


def _recorded_mutation(rng: random.Random, ids: list) -> dict:
    return present(
        {
            "target": rng.choice(ids + ["new", "new2"] + ([5, None] if rng.random() < 0.1 else [])),
            "op": rng.choice(RECORDED_OPS),
            "property": rng.choice(randomized.PROPERTIES + [ABSENT] + ([3] if rng.random() < 0.1 else [])),
            "tag": rng.choice(randomized.TAGS + [ABSENT]),
            "previous": rng.choice([1, ABSENT]),
            "next": rng.choice(RECORDED_NEXTS),
        }
    )


def _replays_sampled(seed: int, count: int) -> list:
    """Signed tails of random recorded mutations, mixing the operations this engine applies with
    others, resumed without catch-up so that the outcome is the replayed state."""
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        state = randomized.world(rng) | {"epoch": 0}
        ids = list(state["entities"])
        payloads = [
            {
                "epoch_number": epoch,
                "actions_processed": [
                    {"mutations_applied": [_recorded_mutation(rng, ids) for _ in range(rng.randrange(1, 5))]}
                    for _ in range(rng.randrange(1, 3))
                ],
            }
            for epoch in range(1, rng.randrange(2, 4))
        ]
        bundle = bundles.suspend(KEY, WORLD_ID, state, chain.sign_chain(KEY, payloads), 0)
        cases.append(call(dumps({"key": KEY, "bundle": bundle, "currentEpoch": len(payloads), "maxCatchup": 0})))
    return cases


def _large() -> list:
    rng = random.Random(88)
    state = randomized.world(rng, 1000) | {"epoch": 0}
    for member in state["entities"].values():
        member["tags"].append("acts_offline")
    ids = list(state["entities"])
    by_epoch = {
        str(epoch): {
            entity_id: {"actionId": rng.choice(["strike", "heal", "mark"]), "targetId": rng.choice(ids)}
            for entity_id in ids
        }
        for epoch in (1, 2, 3)
    }
    states, records = _campaign(WORLD_ID, state, RULESET, by_epoch, 2)
    bundle = bundles.suspend(KEY, WORLD_ID, states[1], records, 1)
    return [_resume(bundle, currentEpoch=3, maxCatchup=1, proposalsByEpoch={"3": by_epoch["3"]})]


def _tables() -> dict:
    honest, empty = HONEST, _empty_tail_bundle()
    return {
        "honest": [
            _resume(honest, currentEpoch=epoch, maxCatchup=bound) for epoch in (5, 6, 7, 9) for bound in (0, 1, 3)
        ]
        + [_resume(empty, currentEpoch=epoch) for epoch in (5, 6, 8)]
        + [
            _resume(bundles.suspend(KEY, WORLD_ID, STATES[index], RECORDS, index), currentEpoch=6) for index in range(6)
        ],
        "tampered": [_resume(honest, name) for name in TAMPERS],
        "tampered_empty_tail": [_resume(empty, name) for name in TAMPERS if name not in NEEDS_TWO_RECORDS],
        "time_travel": [_resume(honest, currentEpoch=epoch) for epoch in (4, 0, -1, -SAFE)]
        + [_resume(empty, currentEpoch=4)]
        + [
            _resume(_restate(copy.deepcopy(empty), STATES[5] | {"epoch": odd}), currentEpoch=now)
            for odd in (2.0, "x")
            for now in (-1, 0, 1)
        ]
        + [
            _resume(
                _restate(copy.deepcopy(honest), {k: v for k, v in STATES[2].items() if k != "epoch"}), currentEpoch=-1
            )
        ],
        "expected_world": [
            _resume(honest, expectedWorldId=value) for value in (WORLD_ID, "w2", "", None, 5, [], DECOMPOSED_E)
        ],
        "input_members": [_resume(honest, key=value) for value in (ABSENT, 5, None, "", "other key")]
        + [_resume(honest, bundle=value) for value in (ABSENT, None, 5, [], {})]
        + [
            _resume(honest, currentEpoch=value)
            for value in (ABSENT, 2.5, 7.0, "7", None, SAFE, SAFE + 1, -SAFE - 1, 2**63)
        ]
        + [_resume(honest, maxCatchup=value) for value in (ABSENT, 1.0, "1", None, -1, SAFE, SAFE + 1, 2**63)]
        + [_resume(honest, maxActions=cap) for cap in CAPS]
        + [_resume(honest, actorTags=tags) for tags in (ABSENT, [], "foe", ["foe"], [1, "pc"])]
        + [
            _resume(honest, ruleset=ABSENT),
            _resume(honest, proposalsByEpoch=ABSENT),
            _resume(honest, ruleset=5, proposalsByEpoch=[]),
        ],
        "fault_order": [
            _resume(honest, key=5, bundle=ABSENT),
            _resume(honest, bundle=ABSENT, currentEpoch="x"),
            _resume(honest, currentEpoch="x", maxCatchup="x"),
            _resume(honest, maxCatchup=-1, maxActions=-1),
            _resume(honest, maxActions=-1, expectedWorldId=5),
            _resume(honest, "snapshot_absent", expectedWorldId="w2"),
            _resume(honest, "state_fraction", currentEpoch=0),
            _resume(honest, "seal_absent", currentEpoch=0),
            _resume(honest, "record_sig_changed", currentEpoch=0),
        ],
        "documents": [
            call(text) for text in ("", "{", "[]", "5", "null", '"key"', '{"key":"k"} x', "[" * 128 + "]" * 128)
        ],
        "small_bundles": _small_bundles(),
        "replay": _replays(),
        "replay_sampled": _replays_sampled(2202, 80),
        "sampled": _sampled(8150, 620),
        "large": _large(),
        "keyword": [call(input_json="{}")],
        "conversion": [boundary(None), boundary(dumps({}).encode()), boundary(1)],
        "binding": [boundary(), boundary("{}", "{}"), boundary(bundle="{}")],
    }


TABLES = {"resume_session": _tables()}
