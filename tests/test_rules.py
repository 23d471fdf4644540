"""Rules actions and triggers through the module: result text, defaults, messages and conversions."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kest_engine_native as k

STATE = {"entities": {"a": {"properties": {"hp": 10}, "tags": ["x"]}}, "world": {"ratio": 1.5}}
D20_CHECK = {
    "type": "check",
    "roll": {"type": "dice", "equation": "1d20+5"},
    "dc": {"type": "literal", "value": 15},
    "degrees": {
        "success": {
            "condition": {"type": "delta_gte", "value": 0},
            "mutations": [
                {"type": "sub_prop", "target": "target", "property": "hp", "value": {"type": "literal", "value": 3}}
            ],
        },
        "failure": {"condition": {"type": "delta_lte", "value": -1}, "mutations": []},
    },
}


def evaluate(state=STATE, check=D20_CHECK, *args, **kwargs) -> dict:
    return json.loads(k.evaluate_action(json.dumps(state), json.dumps(check), *args, **kwargs))


def literal_check(roll: int, dc: int) -> dict:
    return {**D20_CHECK, "roll": {"type": "literal", "value": roll}, "dc": {"type": "literal", "value": dc}}


def test_result_text_is_compact_with_members_in_key_order():
    text = k.evaluate_action(json.dumps(STATE), json.dumps(D20_CHECK), "a", "a", 0)
    # From seed 0 the first d20 is 18.
    assert text == (
        '{"dc":15,"degree":"success","delta":8,"natural":18,"roll":23,'
        '"state":{"entities":{"a":{"properties":{"hp":7},"tags":["x"]}},"world":{"ratio":1.5}}}'
    )


def test_natural_is_null_without_a_die_and_degree_none_when_nothing_matches():
    result = evaluate(STATE, {**literal_check(9, 10), "degrees": {}}, "a")
    assert result == {"dc": 10, "degree": "none", "delta": -1, "natural": None, "roll": 9, "state": STATE}


def test_target_and_seed_default_to_none_and_zero():
    failing = literal_check(9, 10)  # "failure" is chosen, so the missing target is never read
    positional = k.evaluate_action(json.dumps(STATE), json.dumps(failing), "a")
    assert positional == k.evaluate_action(json.dumps(STATE), json.dumps(failing), "a", None, 0)
    assert positional == k.evaluate_action(
        state_json=json.dumps(STATE), check_json=json.dumps(failing), actor="a", target=None, seed=0
    )
    assert k.evaluate_action(json.dumps(STATE), json.dumps(D20_CHECK), "a", "a") == k.evaluate_action(
        json.dumps(STATE), json.dumps(D20_CHECK), "a", target="a", seed=0
    )


@given(seed=st.integers(min_value=0, max_value=2**64 - 1))
def test_roll_draws_from_the_seeded_generator(seed):
    result = evaluate(STATE, D20_CHECK, "a", "a", seed)
    assert result["natural"] == k.roll_die(seed, 20)
    assert result["roll"] == result["natural"] + 5
    assert result["degree"] == ("success" if result["delta"] >= 0 else "failure")
    assert result["state"]["entities"]["a"]["properties"]["hp"] == (7 if result["degree"] == "success" else 10)


def test_apply_triggered_mutations_returns_the_new_state():
    mutations = [
        {"type": "add_prop", "target": "target", "property": "mp", "value": {"type": "dice", "equation": "2d6"}},
        {"type": "add_tag", "target": "actor", "tag": "b"},
    ]
    text = k.apply_triggered_mutations(json.dumps(STATE), json.dumps(mutations), "a", "n", 1)
    assert json.loads(text) == {
        "entities": {
            "a": {"properties": {"hp": 10}, "tags": ["b", "x"]},
            "n": {"properties": {"mp": k.roll_dice(1, 2, 6)}, "tags": []},
        },
        "world": {"ratio": 1.5},
    }
    assert text == json.dumps(json.loads(text), separators=(",", ":"), sort_keys=True)
    assert k.apply_triggered_mutations(json.dumps(STATE), "[]", "a") == json.dumps(
        STATE, separators=(",", ":"), sort_keys=True
    )


@pytest.mark.parametrize(
    ("call", "prefix"),
    [
        (lambda: k.evaluate_action("{", "{", "a"), "bad state json: "),
        (lambda: k.evaluate_action("{}", "[", "a"), "bad check json: "),
        (lambda: k.evaluate_action("[" * 128 + "]" * 128, "{}", "a"), "bad state json: "),
        (lambda: k.apply_triggered_mutations("{} x", "[", "a"), "bad state json: "),
        (lambda: k.apply_triggered_mutations("{}", "[", "a"), "bad mutations json: "),
    ],
)
def test_parse_failures_name_the_first_bad_document(call, prefix):
    with pytest.raises(ValueError) as failure:
        call()
    assert str(failure.value).startswith(prefix)
    assert len(str(failure.value)) > len(prefix)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: evaluate(STATE, {"type": "chek"}, "a"), "AST: expected a check node"),
        (lambda: evaluate(STATE, D20_CHECK, "a", None, 0), "AST: action references target but none supplied"),
        (lambda: k.apply_triggered_mutations("{}", "{}", "a"), "AST: mutations must be an array"),
        (
            lambda: k.apply_triggered_mutations(
                "{}", json.dumps([{"type": "add_tag", "target": "self", "tag": "t"}]), "a"
            ),
            "AST: state.entities must be an object",
        ),
    ],
)
def test_engine_messages_are_raised_unchanged(call, message):
    with pytest.raises(ValueError) as failure:
        call()
    assert str(failure.value) == message


@pytest.mark.parametrize(
    ("kwargs", "error", "text"),
    [
        ({"actor": 1}, TypeError, "argument 'actor': "),
        ({"target": 5}, TypeError, "argument 'target': "),
        ({"seed": 1.0}, TypeError, "argument 'seed': "),
        ({"seed": -1}, OverflowError, ""),
        ({"seed": 2**64}, OverflowError, ""),
        ({"actor": "\ud800"}, UnicodeEncodeError, ""),
    ],
)
def test_arguments_are_converted_before_any_document_is_parsed(kwargs, error, text):
    for function in (k.evaluate_action, k.apply_triggered_mutations):
        with pytest.raises(error) as failure:
            function("{", "{", **{"actor": "a", **kwargs})
        assert str(failure.value).startswith(text)


def test_missing_and_surplus_arguments():
    with pytest.raises(TypeError):
        k.evaluate_action("{}", "{}")
    with pytest.raises(TypeError):
        k.apply_triggered_mutations("{}", "[]", "a", None, 0, 1)


def test_docstrings():
    assert k.evaluate_action.__doc__ == (
        "Resolve a check action (roll vs DC -> degree -> mutations). Returns\n"
        "{state, degree, roll, natural, dc, delta} as a JSON string."
    )
    assert k.evaluate_action.__text_signature__ == "(state_json, check_json, actor, target=None, seed=0)"
    assert k.apply_triggered_mutations.__doc__ == (
        "Apply a flat mutation list (the trigger path). Returns the new state as a JSON string."
    )
    assert k.apply_triggered_mutations.__text_signature__ == (
        "(state_json, mutations_json, actor, target=None, seed=0)"
    )


# Rule-shaped trees of every kind of member, often of the wrong type, for the malformed-input test.
NAMES = ["actor", "self", "target", "each", "x", "hp", "1d6", "2d6+1", "0d0", "add", "floor_div", "gte", "prop", "roll"]
NODE_TYPES = [
    "literal", "dice", "prop_ref", "math", "and", "or", "compare", "has_tag", "delta_gte", "nat_roll_eq",
    "set_prop", "add_prop", "sub_prop", "add_tag", "remove_tag", "if", "repeat", "foreach_target", "check",
]  # fmt: skip
SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from(NAMES),
)


def rule_nodes(children):
    members = ["value", "left", "right", "op", "conditions", "mutations", "then", "else", "count", "select"]
    members += ["target", "property", "tag", "equation", "source", "condition", "limit", "roll", "dc", "degrees"]
    return st.one_of(
        st.lists(children, max_size=4),
        st.fixed_dictionaries({"type": st.sampled_from(NODE_TYPES)}, optional={member: children for member in members}),
    )


RULES = st.recursive(SCALARS, rule_nodes, max_leaves=40)


@settings(max_examples=300, deadline=None)
@given(roll=RULES, condition=RULES, mutations=RULES)
def test_malformed_rules_fail_with_an_engine_message(roll, condition, mutations):
    state = json.dumps({"entities": {"a": {"properties": {"hp": 1}, "tags": ["x"]}, "b": {"tags": ["x"]}}})
    check = {
        "type": "check",
        "roll": roll,
        "dc": roll,
        "degrees": {"success": {"condition": condition, "mutations": mutations}},
    }
    for call in (
        lambda: k.evaluate_action(state, json.dumps(check), "a", "b", 1),
        lambda: k.apply_triggered_mutations(state, json.dumps(mutations), "a", "b", 1),
    ):
        try:
            json.loads(call())
        except ValueError as failure:
            assert str(failure).startswith("AST: ")
