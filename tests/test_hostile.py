"""Hostile input through every function of the module: nesting far beyond the limit, numbers of
thousands of digits, strings of tens of megabytes, control characters, astral characters and lone
surrogates, rules at every budget boundary, and the largest windows and caps. Each gets its
specified result or message quickly, and the interpreter lives on.

The riskiest cases run in a fresh interpreter (`isolated`), so that a crash fails the test instead
of ending the test run."""

import hashlib
import hmac
import json
import pathlib
import subprocess
import sys
import time

import pytest

import kest_engine_native as k

HERE = pathlib.Path(__file__).resolve().parent
SAFE = 9007199254740991
BIG = 20_000_000  # characters in a "tens of megabytes" string
CONTROLS = [chr(c) for c in range(0x20)] + ["\x7f"]

LITERAL_CHECK = {"type": "check", "roll": {"type": "literal", "value": 1}, "dc": {"type": "literal", "value": 0}}
CHECK = json.dumps({**LITERAL_CHECK, "degrees": {}})
TAG_ACTOR = json.dumps([{"type": "add_tag", "target": "actor", "tag": "seen"}])

# Every JSON argument of every function: a call putting the text in that argument (the others
# valid) and the prefix of the message a parse failure gives.
JSON_ARGUMENTS = {
    "sign_record.payload_json": (lambda text: k.sign_record(b"k", 0, "T", text, "g"), "invalid payload JSON: "),
    "world_state_hash.state_json": (lambda text: k.world_state_hash("k", text), "bad state json: "),
    "global_region_hash.regions_json": (lambda text: k.global_region_hash("k", text), "bad regions json: "),
    "evaluate_action.state_json": (lambda text: k.evaluate_action(text, CHECK, "a"), "bad state json: "),
    "evaluate_action.check_json": (lambda text: k.evaluate_action("{}", text, "a"), "bad check json: "),
    "apply_triggered_mutations.state_json": (
        lambda text: k.apply_triggered_mutations(text, "[]", "a"),
        "bad state json: ",
    ),
    "apply_triggered_mutations.mutations_json": (
        lambda text: k.apply_triggered_mutations("{}", text, "a"),
        "bad mutations json: ",
    ),
    "tick_epoch": (k.tick_epoch, "world-epoch: bad tick input json: "),
    "catch_up_epochs": (k.catch_up_epochs, "world-epoch: bad catchup input json: "),
    "resume_session": (k.resume_session, "world-session: bad input json: "),
    "tick_frame": (k.tick_frame, "world-frame: bad input json: "),
    "reconcile_frames": (k.reconcile_frames, "world-frame: bad reconcile input json: "),
}


def isolated(check, *args, timeout=120):
    """Runs `check(*args)`, a function of this module, in a fresh interpreter."""
    code = f"import {__name__} as tests; tests.{check.__name__}(*{args!r})"
    result = subprocess.run([sys.executable, "-c", code], cwd=HERE, capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr[-3000:]}"


def message_of(call, *args) -> str:
    with pytest.raises(ValueError) as failure:
        call(*args)
    return str(failure.value)


class Stopwatch:
    """Fails the test when the block takes longer than `seconds`."""

    def __init__(self, seconds: float):
        self.seconds = seconds

    def __enter__(self):
        self.start = time.perf_counter()

    def __exit__(self, *exc):
        elapsed = time.perf_counter() - self.start
        assert exc[0] is not None or elapsed < self.seconds, f"took {elapsed:.1f} s"


def parse_failures_for_deep_nesting(argument: str):
    call, prefix = JSON_ARGUMENTS[argument]
    depth = 100_000
    for text in ("[" * depth + "]" * depth, '{"a":' * depth + "1" + "}" * depth, "[" * depth):
        for document in (text, '{"worldId":"w","state":' + text + "}"):
            with Stopwatch(5):
                message = message_of(call, document)
            assert message.startswith(prefix) and len(message) > len(prefix)


@pytest.mark.parametrize("argument", JSON_ARGUMENTS)
def test_nesting_of_100000_levels_is_a_parse_error_in_every_json_argument(argument):
    isolated(parse_failures_for_deep_nesting, argument)


def test_nesting_limit_is_127_levels():
    assert k.world_state_hash("k", "[" * 127 + "]" * 127) == k.world_state_hash("k", "[" * 127 + "]" * 127)
    assert message_of(k.world_state_hash, "k", "[" * 128 + "]" * 128).startswith("bad state json: ")


@pytest.mark.parametrize(
    "literal",
    ["1" * 5000, "-" + "9" * 5000, "1e" + "9" * 5000, "1" * 400 + ".5", "0." + "0" * 400 + "1e" + "9" * 5000],
)
@pytest.mark.parametrize("argument", JSON_ARGUMENTS)
def test_numbers_beyond_any_double_are_parse_errors(argument, literal):
    call, prefix = JSON_ARGUMENTS[argument]
    assert message_of(call, "[" + literal + "]").startswith(prefix)


@pytest.mark.parametrize(
    ("literal", "same_as"),
    [("0." + "0" * 5000 + "1", "0"), ("1." + "0" * 5000 + "1", "1"), ("1" + "0" * 300 + "e-300", "1")],
)
def test_long_number_literals_within_a_double_hash_as_its_value(literal, same_as):
    assert k.world_state_hash("k", f"[{literal}]") == k.world_state_hash("k", f"[{same_as}]")


@pytest.mark.parametrize(
    ("literal", "kind"),
    [
        ("-0." + "0" * 5000, "NegativeZero"),
        ("9" * 300, "NonIntegerNumber"),  # integral, but beyond 2^64
        ("18446744073709551616", "UnsafeInteger"),  # 2^64: no integer kind holds it, the float does
        ("0." + "0" * 300 + "1e300", "NonIntegerNumber"),
    ],
)
def test_long_number_literals_within_a_double_keep_its_canonical_faults(literal, kind):
    assert message_of(k.world_state_hash, "k", f"[{literal}]") == "hash: " + kind


def test_numeric_ids_of_thousands_of_digits_order_by_value():
    ids = ["9" * 5000, "1" + "0" * 4999, "9" * 4999, "-" + "9" * 5000, "-" + "0" * 4000 + "7", "7", "a" + "9" * 5000]
    commands = [{"playerId": player, "seq": 0, "actionId": "x"} for player in ids]
    document = {"worldId": "w", "frameNumber": 1, "commands": commands}
    processed = json.loads(k.tick_frame(json.dumps(document)))["event"]["commands_processed"]
    assert [record["player_id"] for record in processed] == [ids[3], ids[4], ids[5], ids[2], ids[1], ids[0], ids[6]]


@pytest.mark.parametrize(
    "call",
    [
        lambda n: k.roll_die(n, 6),
        lambda n: k.roll_dice(1, n, 6),
        lambda n: k.pcg32_next(-n),
        lambda n: k.floor_div(n, 1),
        lambda n: k.band_from_distance_ft(-n),
        lambda n: k.sign_record(b"k", n, "T", "1", ""),
        lambda n: k.evaluate_action("{}", CHECK, "a", None, n),
        lambda n: k.initiative_order_ids([(1, 2, 3, n)]),
    ],
)
def test_integer_arguments_of_thousands_of_digits_overflow(call):
    with pytest.raises(OverflowError):
        call(10**5000)


def test_huge_strings_through_hashes_and_signatures():
    text = "a" * BIG
    with Stopwatch(10):
        assert k.hmac_sha256_hex(text.encode(), text) == hmac.new(text.encode(), text.encode(), "sha256").hexdigest()
        signature = k.sign_record(b"k", 1, text, "1", text)
        message = f"16:kest.chain.rec/11:1{BIG}:{text}1:1{BIG}:{text}"
        assert signature == hmac.new(b"k", message.encode(), hashlib.sha256).hexdigest()
        accented = "\u00e9" * (BIG // 2)
        state = json.dumps({"s": accented}, ensure_ascii=False, separators=(",", ":"))
        assert (
            k.world_state_hash("k", state)
            == hmac.new(b"k", f"15:kest.snapshot/1{BIG // 2 + 8}:{state}".encode(), hashlib.sha256).hexdigest()
        )
        assert message_of(k.world_state_hash, "k", json.dumps({"s": text + "e\u0301"})) == "hash: NonNfc"
        assert message_of(k.global_region_hash, text, json.dumps({text: {"s": -0.0}})) == "region hash: NegativeZero"


def test_huge_strings_as_ids_names_and_world_ids():
    text = "a" * BIG
    with Stopwatch(20):
        state = json.loads(k.apply_triggered_mutations('{"entities":{}}', TAG_ACTOR, text, text))
        assert state["entities"][text] == {"properties": {}, "tags": ["seen"]}
        long_name = json.dumps([{"type": "add_tag", "target": "actor", "tag": text}])
        assert message_of(k.apply_triggered_mutations, "{}", long_name, "a") == "AST: tag name exceeds max length 256"
        output = json.loads(k.tick_frame(json.dumps({"worldId": text, "frameNumber": 1, "state": {"s": text}})))
        assert output["state"] == {"frame": 1, "s": text}
        not_nfc = json.dumps({"worldId": text + "e\u0301", "frameNumber": 1})
        assert message_of(k.tick_frame, not_nfc) == "world-frame: non-NFC world_id (normalize to NFC first)"
        assert k.band_within(text, "far") is False


@pytest.mark.parametrize("control", CONTROLS)
def test_control_characters_are_ordinary_text_in_str_arguments(control):
    text = f"a{control}b"
    assert k.hmac_sha256_hex(text.encode(), text) == hmac.new(text.encode(), text.encode(), "sha256").hexdigest()
    state = json.loads(k.apply_triggered_mutations('{"entities":{}}', TAG_ACTOR, text, text))
    assert list(state["entities"]) == [text]
    output = json.loads(k.tick_frame(json.dumps({"worldId": text, "frameNumber": 3, "state": {text: text}})))
    assert output["state"] == {"frame": 3, text: text}
    assert k.band_within(text, text) is False


@pytest.mark.parametrize("control", CONTROLS)
def test_control_characters_are_written_as_json_stringify_writes_them(control):
    document = {"worldId": "w", "frameNumber": 0, "state": {"s": control}}
    expected = json.dumps({"s": control, "frame": 0}, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
    assert k.tick_frame(json.dumps(document)).endswith('"state":' + expected + "}")


@pytest.mark.parametrize("control", [c for c in CONTROLS if c != "\x7f"])
@pytest.mark.parametrize("argument", JSON_ARGUMENTS)
def test_raw_control_characters_inside_json_strings_are_parse_errors(argument, control):
    call, prefix = JSON_ARGUMENTS[argument]
    assert message_of(call, '{"worldId":"w' + control + '"}').startswith(prefix)


# Every str argument of every function: the function and its arguments, valid apart from the one
# named, which the test replaces.
TEXT_ARGUMENTS = [
    (k.band_within, {"band": "near", "max_band": "far"}, "band"),
    (k.band_within, {"band": "near", "max_band": "far"}, "max_band"),
    (k.hmac_sha256_hex, {"key": b"k", "message": "m"}, "message"),
    *[
        (k.sign_record, {"key": b"k", "seq": 0, "type_": "T", "payload_json": "1", "prev_sig": ""}, name)
        for name in ("type_", "payload_json", "prev_sig")
    ],
    (k.world_state_hash, {"key": "k", "state_json": "{}"}, "key"),
    (k.world_state_hash, {"key": "k", "state_json": "{}"}, "state_json"),
    (k.global_region_hash, {"key": "k", "regions_json": "{}"}, "key"),
    (k.global_region_hash, {"key": "k", "regions_json": "{}"}, "regions_json"),
    *[
        (function, {"state_json": "{}", json_name: rule, "actor": "a", "target": "b"}, name)
        for function, json_name, rule in [
            (k.evaluate_action, "check_json", CHECK),
            (k.apply_triggered_mutations, "mutations_json", "[]"),
        ]
        for name in ("state_json", json_name, "actor", "target")
    ],
    *[
        (function, {"input_json": "{}"}, "input_json")
        for function in (k.tick_epoch, k.catch_up_epochs, k.resume_session, k.tick_frame, k.reconcile_frames)
    ],
]
TEXT_IDS = [f"{function.__name__}.{name}" for function, _, name in TEXT_ARGUMENTS]


@pytest.mark.parametrize("surrogate", ["\ud800", "\udfff", "x\udc00y"])
@pytest.mark.parametrize(("function", "arguments", "name"), TEXT_ARGUMENTS, ids=TEXT_IDS)
def test_lone_surrogates_in_str_arguments_are_refused(function, arguments, name, surrogate):
    with pytest.raises(UnicodeEncodeError):
        function(**{**arguments, name: surrogate})


@pytest.mark.parametrize("astral", ["\U0001f600", "\U00010000", "\U0010ffff"])
@pytest.mark.parametrize(("function", "arguments", "name"), TEXT_ARGUMENTS, ids=TEXT_IDS)
def test_astral_characters_in_str_arguments_are_text_like_any_other(function, arguments, name, astral):
    # Not JSON where JSON is expected, but an id, key or name anywhere else.
    try:
        function(**{**arguments, name: astral})
    except ValueError:
        assert name.endswith("json")


@pytest.mark.parametrize("escape", ["\\ud800", "\\udc00", "\\udbff\\u0041", "a\\ud83d"])
@pytest.mark.parametrize("argument", JSON_ARGUMENTS)
def test_escaped_lone_surrogates_are_parse_errors(argument, escape):
    call, prefix = JSON_ARGUMENTS[argument]
    assert message_of(call, '{"worldId":"' + escape + '"}').startswith(prefix)


def test_astral_characters_count_two_utf16_units_in_signed_fields():
    signature = k.sign_record(b"k", 0, "\U0001f600", '"\U0001f600"', "\U00010000")
    message = '16:kest.chain.rec/11:02:\U0001f6004:"\U0001f600"2:\U00010000'
    assert signature == hmac.new(b"k", message.encode(), hashlib.sha256).hexdigest()
    frame = '{"worldId":"\U0001f600","frameNumber":1,"state":{"\U0001f600":"\\ud83d\\ude00"}}'
    assert json.loads(k.tick_frame(frame))["state"]["\U0001f600"] == "\U0001f600"


def repeat(count: int, body: list) -> list:
    return [{"type": "repeat", "count": count, "mutations": body}]


def foreach(limit: int, body: list) -> list:
    return [{"type": "foreach_target", "select": {"tag": "x", "limit": limit}, "mutations": body}]


def nested(levels: int, make, leaf):
    node = leaf
    for _ in range(levels):
        node = make(node)
    return node


TAG = {"type": "add_tag", "target": "actor", "tag": "t"}
ADD_ONE = {"type": "add_prop", "target": "actor", "property": "p", "value": {"type": "literal", "value": 1}}


def roll(equation: str) -> dict:
    return {"type": "add_prop", "target": "actor", "property": "p", "value": {"type": "dice", "equation": equation}}


def math_chain(levels: int) -> dict:
    literal = {"type": "literal", "value": 1}
    return nested(levels, lambda node: {"type": "math", "op": "add", "left": node, "right": literal}, literal)


def or_chain(levels: int) -> dict:
    return nested(levels, lambda node: {"type": "or", "conditions": [node]}, {"type": "or", "conditions": []})


# Trigger lists at each budget: the largest that passes, and one step past it with its message.
BUDGETS = {
    "nodes": ([TAG] * 256, [TAG] * 257, "AST: node budget exceeded (max 256)"),
    "expression depth": (
        [{**ADD_ONE, "value": math_chain(16)}],
        [{**ADD_ONE, "value": math_chain(17)}],
        "AST: expression exceeds max depth 16",
    ),
    "condition depth": (
        [{"type": "if", "condition": or_chain(16), "then": []}],
        [{"type": "if", "condition": or_chain(17), "then": []}],
        "AST: degree condition exceeds max depth 16",
    ),
    "mutation depth": (
        nested(16, lambda body: repeat(1, body), []),
        nested(17, lambda body: repeat(1, body), []),
        "AST: mutation structure exceeds max depth 16",
    ),
    "dice": ([roll("100d6")] * 10, [roll("100d6")] * 10 + [roll("1d6")], "AST: total dice count exceeds budget 1000"),
    "weighted dice": (
        repeat(10, [roll("100d6")]),
        repeat(10, [roll("100d6")]) + [roll("1d1")],
        "AST: total dice count exceeds budget 1000",
    ),
    "applied": (
        repeat(16, repeat(16, repeat(4, [ADD_ONE]))),
        repeat(16, repeat(16, repeat(4, [ADD_ONE]))) + [TAG],
        "AST: applied-mutation budget exceeded (max 1024)",
    ),
    "multiplicity": (
        repeat(16, foreach(32, repeat(2, [TAG]))),
        repeat(16, foreach(32, repeat(3, [TAG]))),
        "AST: applied-mutation budget exceeded (max 1024): repeat multiplicity 1536",
    ),
    "foreach multiplicity": (
        repeat(16, repeat(2, foreach(32, [TAG]))),
        repeat(16, repeat(3, foreach(32, [TAG]))),
        "AST: applied-mutation budget exceeded (max 1024): foreach_target multiplicity 1536",
    ),
    "repeat count": (repeat(16, [TAG]), repeat(17, [TAG]), "AST: repeat count must be an integer in 1..16"),
    "select limit": (
        foreach(32, [TAG]),
        foreach(33, [TAG]),
        "AST: foreach_target select.limit must be an integer in 1..32",
    ),
}


WORLD = json.dumps({"entities": {"a": {"properties": {}, "tags": ["x"]}}})


@pytest.mark.parametrize(("largest", "past", "message"), BUDGETS.values(), ids=BUDGETS)
def test_trigger_lists_at_every_budget_boundary(largest, past, message):
    with Stopwatch(5):
        json.loads(k.apply_triggered_mutations(WORLD, json.dumps(largest), "a"))
    assert message_of(k.apply_triggered_mutations, WORLD, json.dumps(past), "a") == message


def check_with(mutations: list) -> str:
    degree = {"condition": {"type": "delta_gte", "value": 0}, "mutations": mutations}
    return json.dumps({**LITERAL_CHECK, "degrees": {"success": degree, "other": {**degree, "mutations": []}}})


def test_a_check_shares_its_budgets_across_roll_dc_and_every_degree():
    # roll, dc and two conditions are four nodes; 252 mutations fill the budget of 256.
    assert json.loads(k.evaluate_action(WORLD, check_with([TAG] * 252), "a"))["degree"] == "success"
    assert message_of(k.evaluate_action, WORLD, check_with([TAG] * 253), "a") == "AST: node budget exceeded (max 256)"


def selections_over_the_largest_world(entities: int, expected: str | None):
    state = json.dumps({"entities": {str(i): {"properties": {}, "tags": ["x"]} for i in range(entities)}})
    # 1024 selections, each of which scans every entity: the most work one rule can ask for.
    rule = json.dumps(repeat(16, repeat(16, repeat(4, foreach(1, [{**ADD_ONE, "target": "each"}])))))
    with Stopwatch(30):
        try:
            output = json.loads(k.apply_triggered_mutations(state, rule, "a"))
        except ValueError as failure:
            assert str(failure) == expected
        else:
            assert expected is None
            assert output["entities"]["0"]["properties"] == {"p": 1024}


@pytest.mark.parametrize(
    ("entities", "expected"),
    [
        (65536, None),
        (65537, "AST: world entity count 65537 exceeds MAX_WORLD_ENTITIES (65536) at foreach_target select"),
    ],
)
def test_selections_over_the_largest_world(entities, expected):
    isolated(selections_over_the_largest_world, entities, expected)


def test_largest_reconcile_window_at_the_top_of_the_frame_range():
    players = {str(p): str(p) for p in range(4)}
    ruleset = {"add": {"kind": "mutations", "mutations": [{**ADD_ONE, "value": {"type": "dice", "equation": "1d6"}}]}}
    document = {"worldId": "w", "correctedState": {"frame": SAFE - 4096, "entities": {}}, "toFrame": SAFE}
    document |= {"ruleset": ruleset, "playerEntities": players, "maxCommandsPerPlayer": SAFE, "maxCommands": SAFE}
    document["commandsByFrame"] = {
        str(frame): [{"playerId": p, "seq": -SAFE, "actionId": "add"} for p in players]
        for frame in range(SAFE - 4095, SAFE + 1)
    }
    with Stopwatch(20):
        output = json.loads(k.reconcile_frames(json.dumps(document)))
    assert output["framesReplayed"] == 4096 and output["state"]["frame"] == SAFE
    assert all(len(event["commands_processed"]) == 4 for event in output["events"])
    document["correctedState"]["frame"] -= 1
    assert message_of(k.reconcile_frames, json.dumps(document)) == "world-frame: reconcile window exceeds the bound"


def test_largest_catch_up_bounds_and_gaps():
    document = {"worldId": "w", "state": {"epoch": -SAFE}, "currentEpoch": SAFE, "maxCatchup": 2, "maxActions": SAFE}
    output = json.loads(k.catch_up_epochs(json.dumps(document)))
    assert (output["epochsResolved"], output["epochsVoided"]) == (2, 2 * SAFE - 2)
    assert output["state"] == {"epoch": -SAFE + 2}
    document |= {"state": {"epoch": SAFE - 3}, "maxCatchup": SAFE}
    output = json.loads(k.catch_up_epochs(json.dumps(document)))
    assert (output["epochsResolved"], output["epochsVoided"], output["state"]) == (3, 0, {"epoch": SAFE})


@pytest.mark.parametrize(
    ("function", "document"),
    [
        (k.tick_epoch, {"worldId": "w", "epochNumber": -SAFE, "maxActions": SAFE}),
        (k.tick_epoch, {"worldId": "w", "epochNumber": SAFE, "maxActions": 0}),
        (k.tick_frame, {"worldId": "w", "frameNumber": SAFE, "maxCommands": SAFE, "maxCommandsPerPlayer": SAFE}),
        (k.reconcile_frames, {"worldId": "w", "correctedState": {"frame": SAFE}, "toFrame": SAFE}),
    ],
)
def test_largest_numbers_and_caps_are_accepted(function, document):
    assert json.loads(function(json.dumps(document)))["state"]


def test_largest_primitive_arguments():
    assert k.roll_die(2**64 - 1, 2**32 - 1) == k.roll_die(2**64 - 1, 2**32 - 1) > 0
    assert k.pcg32_next(2**64 - 1) == k.pcg32_next(2**64 - 1)
    assert k.floor_div(-(2**63), 1) == -(2**63)
    assert message_of(k.floor_div, -(2**63), -1) == "floor_div overflow (i64::MIN / -1)"
    entries = [(i * 7919 % 100_003 - 50_000, i % 3, -i % 5, 2**63 - 1 - i % 2) for i in range(100_000)]
    with Stopwatch(5):
        order = k.initiative_order_ids(entries)
    assert sorted(order) == sorted(entry[0] for entry in entries)
