"""Session resume through the module: bundles signed with the module's own functions, and the
property that a bundle changed without the key either fails with one of resume's messages or
resumes to exactly the world the genuine bundle gives."""

import copy
import json
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kest_engine_native as k
from kest.bundles import suspend
from kest.campaign import live_epochs
from kest.chain import sign_chain

KEY = "server key"
WORLD_ID = "w1"
RULESET = {
    "gamble": {
        "kind": "mutations",
        "mutations": [
            {"type": "add_prop", "target": "actor", "property": "luck", "value": {"type": "dice", "equation": "1d20"}}
        ],
    },
    "recruit": {"kind": "mutations", "mutations": [{"type": "add_tag", "target": "target", "tag": "ally"}]},
    "shun": {"kind": "mutations", "mutations": [{"type": "remove_tag", "target": "target", "tag": "ally"}]},
}
START = {
    "entities": {
        "1": {"properties": {"hp": 10}, "tags": ["acts_offline"]},
        "2": {"properties": {"hp": 10}, "tags": ["acts_offline", "ally"]},
    },
    "epoch": 0,
}
PROPOSALS = {
    "1": {"1": {"actionId": "gamble"}, "2": {"actionId": "shun", "targetId": "2"}},
    "2": {"1": {"actionId": "recruit", "targetId": "3"}, "2": {"actionId": "gamble"}},
    "3": {"2": {"actionId": "recruit", "targetId": "1"}},
}
STATES, EVENTS = live_epochs(WORLD_ID, START, RULESET, PROPOSALS, 3)


RECORDS = sign_chain(KEY, EVENTS)


def genuine_bundle(event_index: int = 1) -> dict:
    return suspend(KEY, WORLD_ID, STATES[event_index], RECORDS, event_index)


def resume_input(bundle, **members) -> str:
    document = {"key": KEY, "bundle": bundle, "currentEpoch": 5, "maxCatchup": 1, "ruleset": RULESET} | members
    return json.dumps(document)


def test_docstring():
    assert k.resume_session.__text_signature__ == "(input_json)"
    assert k.resume_session.__doc__ == (
        "Reconstruct + verify + fast-forward a world from a bundle (Phase 4, fail-closed).\nInput JSON: {key, bundle, "
        "currentEpoch, maxCatchup, ruleset, proposalsByEpoch?,\nactorTags?, maxActions?}. Returns {worldId, state, "
        "newEvents, epochsResolved,\nepochsVoided}. Raises ValueError on a corrupted snapshot, tampered tail, or "
        "time-travel."
    )


@pytest.mark.parametrize("event_index", [0, 1, 3])
def test_resume_replays_the_tail_and_catches_up_like_the_live_world(event_index):
    output = json.loads(k.resume_session(resume_input(genuine_bundle(event_index))))
    live = json.loads(
        k.catch_up_epochs(
            json.dumps(
                {"worldId": WORLD_ID, "state": STATES[3], "currentEpoch": 5, "maxCatchup": 1, "ruleset": RULESET}
            )
        )
    )
    assert output == {
        "epochsResolved": 1,
        "epochsVoided": 1,
        "newEvents": live["events"],
        "state": live["state"],
        "worldId": WORLD_ID,
    }


# Hashes and signatures cover canonical text, in which 1.0 and 1 are one number. The snapshot's
# "epoch" counts where no tail record overwrites it.
@pytest.mark.parametrize(("integer", "event_index"), [(r'"epoch": (\d+)\}, "stateHash"', 3), (r'"next": (\d+)', 0)])
def test_integral_floats_rewritten_without_the_key_change_nothing(integer, event_index):
    text = resume_input(genuine_bundle(event_index))
    rewritten = re.sub(integer, lambda match: match.group(0).replace(match.group(1), match.group(1) + ".0"), text)
    assert rewritten != text
    assert k.resume_session(rewritten) == k.resume_session(text)


# Any op but the two tag operations, as a newer engine or a sibling may record it: a name this
# engine does not apply, a number, null, or no "op" member at all.
other_ops = (
    st.text(alphabet="abcdefghijklmnopqrstuvwxyz_", max_size=10).filter(lambda op: op not in ("add_tag", "remove_tag"))
    | st.sampled_from(["set_prop", "add_prop", "sub_prop"])
    | st.integers(-3, 3)
    | st.none()
)
recorded_writes = st.fixed_dictionaries(
    {
        "target": st.sampled_from(["1", "2", "new"]),
        "property": st.sampled_from(["hp", "mp"]),
        "next": st.integers(-(2**53) + 1, 2**53 - 1) | st.none(),
    },
    optional={"op": other_ops, "previous": st.integers(-5, 5)},
)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.lists(recorded_writes, min_size=1, max_size=6), min_size=1, max_size=3))
def test_a_tail_of_any_ops_replays_to_the_values_it_recorded(epochs):
    payloads = [
        {"epoch_number": number, "actions_processed": [{"mutations_applied": mutations}]}
        for number, mutations in enumerate(epochs, 1)
    ]
    bundle = suspend(KEY, WORLD_ID, START, sign_chain(KEY, payloads), 0)
    document = {"key": KEY, "bundle": bundle, "currentEpoch": len(epochs), "maxCatchup": 0}
    expected = copy.deepcopy(START) | {"epoch": len(epochs)}
    for mutation in (mutation for mutations in epochs for mutation in mutations):
        entity = expected["entities"].setdefault(mutation["target"], {"properties": {}, "tags": []})
        entity["properties"][mutation["property"]] = mutation["next"]
    assert json.loads(k.resume_session(json.dumps(document)))["state"] == expected


def test_arguments_are_bound_like_every_whole_input_function():
    with pytest.raises(TypeError, match="argument 'input_json'"):
        k.resume_session(b"{}")
    with pytest.raises(UnicodeEncodeError):
        k.resume_session("\ud800")
    with pytest.raises(ValueError, match="^world-session: missing key$"):
        k.resume_session(input_json="[]")


# ---- Bundles changed without the key ---------------------------------------------------------

MESSAGES = {
    "world-session: bundle worldId does not match expectedWorldId (cross-world or cross-path bundle rejected)",
    "world-session: bundle missing snapshot",
    "world-session: snapshot missing state",
    "world-session: snapshot missing stateHash",
    "world-session: chainTail must be an array",
    "world-session: snapshot.state.entities must be an object (malformed WorldState rejected fail-closed)",
    "world-session: corrupted snapshot (state hash mismatch)",
    "world-session: bundle carries no chain seal (pre-seal bundle format rejected; re-suspend with the current engine)",
    "world-session: chain seal signature invalid (forged seal or wrong key)",
    "world-session: snapshot.eventIndex must be a JS-safe integer >= 0",
    "world-session: bundle binding invalid (worldId / eventIndex / tailGenesis rewritten, or cross-world splice - "
    "forge detected)",
    "world-session: chain tail head does not match the seal (trailing records dropped or replaced - end-truncation "
    "detected)",
    "world-session: chain tamper detected in tail",
    "world-session: time travel detected (currentEpoch < state.epoch)",
    "record missing seq",
    "record missing type",
    "record missing payload",
    "record missing prevSig",
    "record missing sig",
}
FORMATTED = re.compile(
    r"world-session: hash: (NonIntegerNumber|UnsafeInteger|NegativeZero|ForbiddenKey|DepthExceeded|NonNfc)"
    r"|world-session: chain tail length does not match the seal \(sealed count \d+ != eventIndex \d+ \+ tail \d+\)"
)


class Written(list):
    """An object as its text writes it: members in the order given, a key possibly repeated."""


def as_written(value):
    if isinstance(value, dict):
        return Written((key, as_written(member)) for key, member in value.items())
    if isinstance(value, list):
        return [as_written(element) for element in value]
    return value


def dump(node) -> str:
    if isinstance(node, Written):
        return "{" + ",".join(json.dumps(key) + ":" + dump(member) for key, member in node) + "}"
    if isinstance(node, list):
        return "[" + ",".join(dump(element) for element in node) + "]"
    return json.dumps(node)


def sites(node, path=()):
    """Every member of every object and every element of every array, as (container path, index)."""
    if isinstance(node, list):
        for index, item in enumerate(node):
            yield path, index
            yield from sites(item[1] if isinstance(node, Written) else item, (*path, index))


def container_at(tree, path):
    for index in path:
        tree = tree[index][1] if isinstance(tree, Written) else tree[index]
    return tree


def replacements(value) -> list:
    """Values of every kind, and near misses of the value itself (an integral float among them)."""
    values = [None, True, 0, -1, 1.5, "", "x", [], Written()]
    if isinstance(value, bool):
        values.append(not value)
    elif isinstance(value, int):
        values += [value + 1, float(value)]
    elif isinstance(value, str):
        values += [value + "0", value.upper(), value[:-1]]
    return values


def mutate(tree, path, index, operation, replacement=None):
    """A copy of `tree` with one member or element removed, replaced, repeated or moved first."""
    tree = copy.deepcopy(tree)
    container = container_at(tree, path)
    is_object = isinstance(container, Written)
    item = container[index]
    new_item = (item[0], replacement) if is_object else replacement
    if operation == "remove":
        del container[index]
    elif operation == "change":
        container[index] = new_item
    elif operation == "repeat before":  # a repeated key keeps its last value: this one is shadowed
        container.insert(index, new_item)
    elif operation == "repeat after":
        container.insert(index + 1, new_item)
    elif operation == "move first":
        container.insert(0, container.pop(index))
    return tree


def outcome(tree) -> str:
    try:
        return k.resume_session(dump(Written([("key", KEY), ("bundle", tree), *INPUT])))
    except ValueError as failure:
        message = str(failure)
        assert message in MESSAGES or FORMATTED.fullmatch(message), message
        return "failed"


INPUT = [("currentEpoch", 5), ("maxCatchup", 1), ("ruleset", as_written(RULESET))]
GENUINE_TREE = as_written(genuine_bundle())
GENUINE_OUTPUT = outcome(GENUINE_TREE)


def test_every_single_change_without_the_key_fails_or_changes_nothing():
    assert GENUINE_OUTPUT != "failed"
    resumed = 0
    for path, index in list(sites(GENUINE_TREE)):
        item = container_at(GENUINE_TREE, path)[index]
        value = item[1] if isinstance(container_at(GENUINE_TREE, path), Written) else item
        changes = [("remove", None), ("move first", None), ("repeat before", value), ("repeat after", value)]
        for replacement in replacements(value):
            changes += [("change", replacement), ("repeat before", replacement), ("repeat after", replacement)]
        for operation, replacement in changes:
            result = outcome(mutate(GENUINE_TREE, path, index, operation, replacement))
            assert result in ("failed", GENUINE_OUTPUT), (path, index, operation, replacement)
            resumed += result == GENUINE_OUTPUT
    assert resumed > 0  # shadowed repeats, reorderings and integral floats do resume


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(2**64), 2**64)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=4),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=3), children, max_size=3),
    max_leaves=6,
)
OPERATIONS = ["remove", "change", "repeat before", "repeat after", "move first"]


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_any_changes_without_the_key_fail_or_change_nothing(data):
    tree = GENUINE_TREE
    for _ in range(data.draw(st.integers(1, 3))):
        available = list(sites(tree))
        if not available:
            break
        path, index = data.draw(st.sampled_from(available))
        tree = mutate(tree, path, index, data.draw(st.sampled_from(OPERATIONS)), as_written(data.draw(json_values)))
    assert outcome(tree) in ("failed", GENUINE_OUTPUT)


@settings(max_examples=200, deadline=None)
@given(st.text(max_size=40) | json_values.map(json.dumps))
def test_any_input_text_gives_an_output_or_a_session_message(text):
    try:
        json.loads(k.resume_session(text))
    except ValueError as failure:
        assert str(failure).startswith(("world-session: ", "record missing ")), str(failure)
