"""Offline epochs through the module: whole-call messages, output text and hostile input."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kest_engine_native as k

NON_NFC = "e\u0301"
SAFE = 9007199254740991


def text(document) -> str:
    return document if isinstance(document, str) else json.dumps(document)


def tick_message(document) -> str:
    with pytest.raises(ValueError) as failure:
        k.tick_epoch(text(document))
    return str(failure.value)


def catch_up_message(document) -> str:
    with pytest.raises(ValueError) as failure:
        k.catch_up_epochs(text(document))
    return str(failure.value)


TICK_INTEGER = "world-epoch: epochNumber must be an integer"
TICK_SAFE = "world-epoch: epoch_number must be a JS-safe integer"
MAX_ACTIONS = "world-epoch: maxActions must be a non-negative JS-safe integer"
NFC = "world-epoch: non-NFC world_id (normalize to NFC first)"


@pytest.mark.parametrize(
    ("document", "message"),
    [
        ('{"worldId": "w"', "world-epoch: bad tick input json: "),
        ("[1]", "world-epoch: worldId must be a string"),
        ({"worldId": 1, "epochNumber": "x"}, "world-epoch: worldId must be a string"),
        ({"worldId": "w"}, TICK_INTEGER),
        ('{"worldId": "w", "epochNumber": 7.0}', TICK_INTEGER),
        ({"worldId": "w", "epochNumber": "7"}, TICK_INTEGER),
        ({"worldId": "w", "epochNumber": True}, TICK_INTEGER),
        ({"worldId": "w", "epochNumber": 2**63, "maxActions": -1}, TICK_INTEGER),
        ({"worldId": "w", "epochNumber": 2**63 - 1}, TICK_SAFE),
        ({"worldId": "w", "epochNumber": SAFE + 1}, TICK_SAFE),
        ({"worldId": "w", "epochNumber": -SAFE - 1}, TICK_SAFE),
        ({"worldId": NON_NFC, "epochNumber": 1, "maxActions": -1}, MAX_ACTIONS),
        ({"worldId": "w", "epochNumber": 1, "maxActions": 1.5}, MAX_ACTIONS),
        ({"worldId": "w", "epochNumber": 1, "maxActions": "3"}, MAX_ACTIONS),
        ({"worldId": "w", "epochNumber": 1, "maxActions": SAFE + 1}, MAX_ACTIONS),
        ({"worldId": "w", "epochNumber": 1, "maxActions": [1]}, MAX_ACTIONS),
        ({"worldId": NON_NFC, "epochNumber": 1}, NFC),
    ],
)
def test_tick_whole_call_messages(document, message):
    assert tick_message(document).startswith(message)


def test_minimal_tick_output_text():
    assert k.tick_epoch('{"worldId": "", "epochNumber": 0}') == (
        '{"event":{"actions_processed":[],"epoch_number":0,"event_type":"EpochResolved","pcg_steps_consumed":0},'
        '"rejected":0,"resolved":0,"state":{"epoch":0}}'
    )


@pytest.mark.parametrize(("epoch", "max_actions"), [(SAFE, None), (-SAFE, 0), (-3, SAFE)])
def test_tick_accepts_the_whole_safe_range(epoch, max_actions):
    document = {"worldId": "\u00e9", "epochNumber": epoch, "maxActions": max_actions, "state": {"epoch": 1}}
    assert json.loads(k.tick_epoch(json.dumps(document)))["state"] == {"epoch": epoch}


CATCH_UP = {"worldId": "w", "currentEpoch": 3, "maxCatchup": 2}


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"worldId": None}, "world-epoch: worldId must be a string"),
        ({"currentEpoch": None}, "world-epoch: currentEpoch must be an integer"),
        ({"currentEpoch": 3.0}, "world-epoch: currentEpoch must be an integer"),
        ({"currentEpoch": 2**63, "maxCatchup": None}, "world-epoch: currentEpoch must be an integer"),
        ({"currentEpoch": -SAFE - 1}, "world-epoch: currentEpoch must be a JS-safe integer"),
        ({"maxCatchup": "2"}, "world-epoch: maxCatchup must be an integer"),
        ({"maxCatchup": 2**64}, "world-epoch: maxCatchup must be an integer"),
        ({"maxCatchup": -1}, "world-epoch: maxCatchup must be a non-negative JS-safe integer"),
        ({"maxCatchup": SAFE + 1}, "world-epoch: maxCatchup must be a non-negative JS-safe integer"),
        ({"state": {"epoch": SAFE + 1}, "maxActions": -1}, "world-epoch: state.epoch must be a JS-safe integer"),
        ({"maxActions": 2.0}, MAX_ACTIONS),
        ({"worldId": NON_NFC}, NFC),
        ({"worldId": NON_NFC, "state": {"epoch": 3}}, NFC),
    ],
)
def test_catch_up_whole_call_messages(changes, message):
    assert catch_up_message({**CATCH_UP, **changes}) == message


def test_catch_up_bad_json():
    assert catch_up_message("{,}").startswith("world-epoch: bad catchup input json: ")


@pytest.mark.parametrize("epoch", [2**63, 2.5, "9"])
def test_catch_up_state_epoch_that_is_no_i64_counts_as_zero(epoch):
    result = json.loads(k.catch_up_epochs(json.dumps({**CATCH_UP, "state": {"epoch": epoch}})))
    assert (result["epochsResolved"], result["epochsVoided"], result["state"]) == (2, 1, {"epoch": 2})


def test_catch_up_output_text_when_nothing_is_due():
    document = {**CATCH_UP, "state": {"epoch": 5, "b": 1.5, "a": []}}
    assert k.catch_up_epochs(json.dumps(document)) == (
        '{"epochsResolved":0,"epochsVoided":0,"events":[],"state":{"a":[],"b":1.5,"epoch":5}}'
    )


def test_catch_up_bounded_gap():
    document = {**CATCH_UP, "currentEpoch": 20, "maxCatchup": 3, "state": {"epoch": 10}, "proposalsByEpoch": {"11": {}}}
    result = json.loads(k.catch_up_epochs(json.dumps(document)))
    assert [event["epoch_number"] for event in result["events"]] == [11, 12, 13]
    assert (result["epochsResolved"], result["epochsVoided"], result["state"]) == (3, 7, {"epoch": 13})


def test_docstrings_and_arguments():
    assert k.tick_epoch.__text_signature__ == k.catch_up_epochs.__text_signature__ == "(input_json)"
    assert k.tick_epoch.__doc__ == (
        "Resolve one offline epoch. Input JSON: {worldId, state, epochNumber, proposals,\n"
        "ruleset, actorTags?, maxActions?}. Returns {state, event, resolved, rejected}."
    )
    assert k.catch_up_epochs.__doc__ == (
        "Replay offline epochs up to currentEpoch, bounded by maxCatchup (excess voided).\n"
        "Input JSON: {worldId, state, currentEpoch, maxCatchup, ruleset, proposalsByEpoch?,\n"
        "actorTags?, maxActions?}. Returns {state, events, epochsResolved, epochsVoided}."
    )
    assert json.loads(k.tick_epoch(input_json='{"worldId": "w", "epochNumber": 1}'))["state"] == {"epoch": 1}
    with pytest.raises(TypeError, match="argument 'input_json'"):
        k.catch_up_epochs(b"{}")


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(2**64), max_value=2**64) | st.floats() | st.text(max_size=4),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=4), children, max_size=3),
    max_leaves=12,
)
MEMBERS = [
    "worldId",
    "epochNumber",
    "currentEpoch",
    "maxCatchup",
    "state",
    "proposals",
    "proposalsByEpoch",
    "ruleset",
    "actorTags",
    "maxActions",
]


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(st.sampled_from(MEMBERS), json_values), st.sampled_from([k.tick_epoch, k.catch_up_epochs]))
def test_hostile_documents_give_output_or_a_message(document, function):
    document.setdefault("worldId", "w")
    # Every epoch within the bound is resolved for real; keep the host's bound small.
    bound = document.get("maxCatchup")
    if isinstance(bound, int) and not isinstance(bound, bool) and 50 < bound <= SAFE:
        document["maxCatchup"] = 50
    try:
        output = function(json.dumps(document))
    except ValueError as failure:
        assert str(failure).startswith("world-epoch: ")
    else:
        assert isinstance(json.loads(output)["state"], dict)
