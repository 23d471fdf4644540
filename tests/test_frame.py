"""Real-time frames through the module: whole-call messages in their order, output text, the
replay window and hostile input."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kest_engine_native as k

NON_NFC = "e\u0301"
SAFE = 9007199254740991

PLAYER_ID = "world-frame: every command needs a string playerId"
SEQ = "world-frame: every command needs a JS-safe-integer seq"
PER_PLAYER = "world-frame: maxCommandsPerPlayer must be a non-negative JS-safe integer"
PER_FRAME = "world-frame: maxCommands must be a non-negative JS-safe integer"
NFC = "world-frame: non-NFC world_id (normalize to NFC first)"

GAMBLE = {
    "kind": "mutations",
    "mutations": [
        {"type": "add_prop", "target": "actor", "property": "luck", "value": {"type": "dice", "equation": "1d20"}}
    ],
}
RULES = {"ruleset": {"gamble": GAMBLE}, "playerEntities": {"9": "e9", "10": "e10"}}


def text(document) -> str:
    return document if isinstance(document, str) else json.dumps(document)


def message(function, document) -> str:
    with pytest.raises(ValueError) as failure:
        function(text(document))
    return str(failure.value)


def tick(**members) -> dict:
    return json.loads(k.tick_frame(json.dumps({"worldId": "w", "frameNumber": 7, **members})))


TICK = {"worldId": "w", "frameNumber": 7}
FRAME_INTEGER = "world-frame: frameNumber must be an integer"
FRAME_SAFE = "world-frame: frameNumber must be a non-negative JS-safe integer"


@pytest.mark.parametrize(
    ("changes", "expected"),
    [
        ({"worldId": None}, "world-frame: worldId must be a string"),
        ({"worldId": 1, "frameNumber": None}, "world-frame: worldId must be a string"),
        ({"frameNumber": None}, FRAME_INTEGER),
        ({"frameNumber": "7"}, FRAME_INTEGER),
        ({"frameNumber": True}, FRAME_INTEGER),
        ({"frameNumber": 2**63, "commands": [1]}, FRAME_INTEGER),
        ({"frameNumber": -1}, FRAME_SAFE),
        ({"frameNumber": SAFE + 1}, FRAME_SAFE),
        ({"frameNumber": 2**63 - 1}, FRAME_SAFE),
        ({"commands": [{"playerId": "a", "seq": 1}, {"seq": 1}], "maxCommands": -1}, PLAYER_ID),
        ({"commands": [{"playerId": "a"}, {"seq": 1}]}, SEQ),
        ({"commands": [{"seq": "x"}]}, PLAYER_ID),
        ({"commands": [{"playerId": "a", "seq": SAFE + 1}]}, SEQ),
        ({"maxCommandsPerPlayer": -1, "maxCommands": -1}, PER_PLAYER),
        ({"maxCommandsPerPlayer": [1]}, PER_PLAYER),
        ({"maxCommands": "2"}, PER_FRAME),
        ({"maxCommands": True}, PER_FRAME),
        ({"maxCommands": SAFE + 1}, PER_FRAME),
        ({"maxCommands": {}}, PER_FRAME),
        ({"worldId": NON_NFC, "maxCommands": 1.5}, PER_FRAME),
        ({"worldId": NON_NFC}, NFC),
    ],
)
def test_tick_whole_call_messages(changes, expected):
    assert message(k.tick_frame, {**TICK, **changes}) == expected


@pytest.mark.parametrize(
    ("document", "expected"),
    [
        ('{"worldId": "w", "frameNumber": 7.0}', FRAME_INTEGER),
        ('{"worldId": "w", "frameNumber": 7, "commands": [{"playerId": "a", "seq": 2.0}]}', SEQ),
        ('{"worldId": "w", "frameNumber": 7, "maxCommands": 2.0}', PER_FRAME),
        ('{"worldId": "w", "frameNumber": 7', "world-frame: bad input json: "),
        ("[1]", "world-frame: worldId must be a string"),
    ],
)
def test_tick_messages_for_literal_texts(document, expected):
    assert message(k.tick_frame, document).startswith(expected)


def test_empty_frame_output_text():
    assert k.tick_frame('{"worldId":"w","frameNumber":0}') == (
        '{"event":{"commands_processed":[],"event_type":"FrameResolved","frame_number":0,"pcg_steps_consumed":0},'
        '"rejected":0,"resolved":0,"state":{"frame":0}}'
    )


@pytest.mark.parametrize("commands", [{"playerId": 1}, "commands", 3])
def test_commands_that_are_no_array_count_as_none(commands):
    output = tick(frameNumber=SAFE, commands=commands, maxCommands=None, worldId="")
    assert output["event"]["commands_processed"] == []
    assert output["state"] == {"frame": SAFE}


RECONCILE = {"worldId": "w", "correctedState": {"frame": 10}, "toFrame": 12}
TO_INTEGER = "world-frame: toFrame must be an integer"
TO_SAFE = "world-frame: toFrame must be a non-negative JS-safe integer"
CORRECTED = "world-frame: correctedState.frame must be a non-negative JS-safe integer"
WINDOW = "world-frame: reconcile window exceeds the bound"


@pytest.mark.parametrize(
    ("changes", "expected"),
    [
        ({"worldId": None}, "world-frame: worldId must be a string"),
        ({"toFrame": None}, TO_INTEGER),
        ({"toFrame": "12"}, TO_INTEGER),
        ({"toFrame": 2**63, "correctedState": None}, TO_INTEGER),
        ({"toFrame": -1, "correctedState": None}, TO_SAFE),
        ({"toFrame": SAFE + 1}, TO_SAFE),
        ({"correctedState": None}, CORRECTED),
        ({"correctedState": "state"}, CORRECTED),
        ({"correctedState": {}}, CORRECTED),
        ({"correctedState": {"frame": -1}}, CORRECTED),
        ({"correctedState": {"frame": SAFE + 1}, "toFrame": SAFE}, CORRECTED),
        ({"toFrame": 9}, "world-frame: toFrame must be >= correctedState.frame"),
        ({"toFrame": 4107, "commandsByFrame": {"11": [{}]}}, WINDOW),
        ({"correctedState": {"frame": 0}, "toFrame": SAFE}, WINDOW),
        ({"commandsByFrame": {"11": [{"seq": 0}]}, "maxCommands": -1}, PLAYER_ID),
        ({"commandsByFrame": {"11": [], "12": [{"playerId": "a"}]}}, SEQ),
        ({"maxCommandsPerPlayer": 1.5}, PER_PLAYER),
        ({"maxCommands": -1}, PER_FRAME),
        ({"worldId": NON_NFC}, NFC),
        ({"worldId": NON_NFC, "toFrame": 10}, NFC),
    ],
)
def test_reconcile_whole_call_messages(changes, expected):
    assert message(k.reconcile_frames, {**RECONCILE, **changes}) == expected


@pytest.mark.parametrize(
    ("document", "expected"),
    [
        ('{"worldId": "w", "correctedState": {"frame": 10}, "toFrame": 12.0}', TO_INTEGER),
        ('{"worldId": "w", "correctedState": {"frame": 3.0}, "toFrame": 12}', CORRECTED),
        ("{", "world-frame: bad reconcile input json: "),
    ],
)
def test_reconcile_messages_for_literal_texts(document, expected):
    assert message(k.reconcile_frames, document).startswith(expected)


def test_nothing_to_replay_returns_the_corrected_state_unchanged():
    document = {**RECONCILE, "correctedState": {"frame": 10, "b": 1.5, "a": NON_NFC}, "toFrame": 10}
    assert k.reconcile_frames(json.dumps(document)) == (
        '{"events":[],"framesReplayed":0,"state":{"a":"e\u0301","b":1.5,"frame":10}}'
    )


def test_window_of_4096_frames_is_replayed():
    # Commands outside the window, or under a key that is not the plain decimal frame, are never read.
    commands_by_frame = {"4107": [{}], "011": [{}], "10": [{}], "4106": [{"playerId": "9", "seq": 0}]}
    document = {**RECONCILE, "toFrame": 4106, "commandsByFrame": commands_by_frame}
    output = json.loads(k.reconcile_frames(json.dumps(document)))
    assert output["framesReplayed"] == len(output["events"]) == 4096
    assert [output["events"][i]["frame_number"] for i in (0, -1)] == [11, 4106]
    assert output["events"][-1]["commands_processed"] == [
        {"action_id": "", "player_id": "9", "reason": "unknown_player"}
    ]
    assert output["state"] == {"frame": 4106}


def test_docstrings_and_arguments():
    assert k.tick_frame.__text_signature__ == k.reconcile_frames.__text_signature__ == "(input_json)"
    assert k.tick_frame.__doc__ == (
        "Resolve one server frame (real-time multiplayer). Input JSON: {worldId, state,\n"
        "frameNumber, commands, ruleset, playerEntities, maxCommandsPerPlayer?,\n"
        "maxCommands?}. Returns {state, event, resolved, rejected}."
    )
    assert k.reconcile_frames.__doc__ == (
        "Client-side rollback reconciliation. Input JSON: {worldId, correctedState,\n"
        "commandsByFrame, toFrame, ruleset, playerEntities, maxCommandsPerPlayer?,\n"
        "maxCommands?}. Returns {state, events, framesReplayed}."
    )
    assert json.loads(k.tick_frame(input_json=json.dumps(TICK)))["state"] == {"frame": 7}
    with pytest.raises(TypeError, match="argument 'input_json'"):
        k.reconcile_frames(b"{}")


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(2**64), max_value=2**64) | st.floats() | st.text(max_size=4),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=4), children, max_size=3),
    max_leaves=12,
)
commands = st.lists(
    st.fixed_dictionaries(
        {},
        optional={
            "playerId": st.sampled_from(["9", "10", "b"]) | json_values,
            "seq": st.integers(min_value=-3, max_value=3) | json_values,
            "actionId": st.sampled_from(["gamble", ""]) | json_values,
            "targetId": json_values,
        },
    ),
    max_size=4,
)
MEMBERS = {
    "worldId": st.sampled_from(["w", "", NON_NFC]) | json_values,
    "frameNumber": st.integers(min_value=-1, max_value=5) | json_values,
    "toFrame": st.integers(min_value=0, max_value=5) | json_values,
    "correctedState": st.fixed_dictionaries({"frame": st.integers(min_value=0, max_value=3)}) | json_values,
    "state": json_values,
    "commands": commands | json_values,
    "commandsByFrame": st.dictionaries(st.sampled_from(["1", "2", "3", "01"]), commands | json_values),
    "ruleset": st.just(RULES["ruleset"]) | json_values,
    "playerEntities": st.just(RULES["playerEntities"]) | json_values,
    "maxCommandsPerPlayer": st.integers(min_value=-1, max_value=2) | json_values,
    "maxCommands": st.integers(min_value=-1, max_value=2) | json_values,
}


@settings(max_examples=300, deadline=None)
@given(st.fixed_dictionaries({}, optional=MEMBERS), st.sampled_from([k.tick_frame, k.reconcile_frames]))
def test_hostile_documents_give_output_or_a_message(document, function):
    try:
        output = function(json.dumps(document))
    except ValueError as failure:
        assert str(failure).startswith("world-frame: ")
    else:
        assert isinstance(json.loads(output)["state"], dict)
