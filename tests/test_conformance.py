"""The conformance runner catches what it exists to catch: an altered expectation, a module that
answers differently, and a damaged vector file, which must fail loudly rather than pass."""

import json
import pathlib
import sys
import types

import pytest

import kest_engine_native as k
from conformance import messages
from kest import conformance

VECTORS = pathlib.Path(__file__).resolve().parent.parent / "conformance" / "vectors"


def first_vectors(function: str, count: int, where=lambda line: True) -> list[dict]:
    lines = (json.loads(text) for text in (VECTORS / f"{function}.jsonl").read_text().splitlines())
    return [line for line in lines if where(line)][:count]


def write_kit(directory: pathlib.Path, function: str, lines: list) -> pathlib.Path:
    directory.mkdir(exist_ok=True)
    texts = [line if isinstance(line, str) else json.dumps(line) for line in lines]
    (directory / f"{function}.jsonl").write_text("".join(text + "\n" for text in texts))
    return directory


def run(directory: pathlib.Path, function: str, capsys, *extra: str, module: str = "kest_engine_native"):
    status = conformance.main(["--vectors", str(directory), "--only", function, "--module", module, *extra])
    captured = capsys.readouterr()
    return status, captured.out + captured.err


def stand_in(monkeypatch, name: str, **overrides) -> str:
    """A module that is this one except for `overrides`."""
    module = types.ModuleType(name)
    for function in conformance.FUNCTIONS:
        setattr(module, function, overrides.get(function, getattr(k, function)))
    monkeypatch.setitem(sys.modules, name, module)
    return name


def test_the_checked_in_kit_passes_against_this_module(capsys):
    status, output = run(VECTORS, ",".join(conformance.FUNCTIONS), capsys)
    assert status == 0, output
    assert output.count(" passed (") == len(conformance.FUNCTIONS)


def altered_result(line):
    return {"result": "f" * 64 if line["expect"]["result"] != "f" * 64 else "0" * 64}


def altered_message(line):
    return {"error": line["expect"]["error"] | {"message": line["expect"]["error"]["message"] + "!"}}


def error_type_swapped(line):
    return {"error": line["expect"]["error"] | {"type": "TypeError"}}


def result_for_error(line):
    return {"result": None}


@pytest.mark.parametrize(
    ("function", "picks_error", "alter"),
    [
        ("hmac_sha256_hex", False, altered_result),
        ("sign_record", True, altered_message),
        ("world_state_hash", True, error_type_swapped),
        ("floor_div", True, result_for_error),
    ],
)
def test_an_altered_expectation_fails_and_is_reported_by_id(tmp_path, capsys, function, picks_error, alter):
    lines = first_vectors(function, 5, lambda line: ("error" in line["expect"]) == picks_error)
    lines[2]["expect"] = alter(lines[2])
    status, output = run(write_kit(tmp_path, function, lines), function, capsys)
    assert status == 1
    assert f"{function}: 4/5 passed" in output
    assert f"FAIL {lines[2]['id']}" in output


def raising(error: Exception):
    raise error


def one_character_off(text):
    return text[:-1] + ("0" if text[-1] != "0" else "1")


@pytest.mark.parametrize(
    ("function", "override"),
    [
        # A string result that differs in one character.
        ("tick_frame", lambda *args: one_character_off(k.tick_frame(*args))),
        ("world_state_hash", lambda *args: k.world_state_hash(*args).upper()),
        # The same exception type with a different message.
        ("floor_div", lambda a, b: k.floor_div(a, b) if b else raising(ValueError("division by zero"))),
        ("tick_epoch", lambda text: raising(ValueError("world-epoch: something else"))),
        # Another type for the same message, and a result where an error was due.
        ("roll_die", lambda seed, sides: raising(OverflowError("no")) if sides > 6 else k.roll_die(seed, sides)),
        ("band_within", lambda band, max_band: 1 if k.band_within(band, max_band) else 0),
        # An outcome that cannot be written as UTF-8 is still reported.
        ("version", lambda: "\ud800"),
    ],
)
def test_a_module_that_answers_differently_fails(monkeypatch, capsys, function, override):
    name = stand_in(monkeypatch, "kest_conformance_stand_in", **{function: override})
    status, output = run(VECTORS, function, capsys, module=name)
    assert status == 1
    assert "FAIL " in output and "    actual   " in output


def test_a_module_missing_a_function_fails_every_vector_of_it(monkeypatch, capsys):
    name = stand_in(monkeypatch, "kest_conformance_partial")
    delattr(sys.modules[name], "version")
    status, output = run(VECTORS, "version", capsys, module=name)
    assert status == 1
    assert "version: 0/" in output


def test_boundary_cases_can_be_skipped(tmp_path, capsys):
    boundary = first_vectors("roll_die", 1, lambda line: line.get("boundary"))
    neutral = first_vectors("roll_die", 2, lambda line: not line.get("boundary"))
    boundary[0]["expect"] = {"result": 0}  # would fail if it ran
    directory = write_kit(tmp_path, "roll_die", neutral + boundary)
    status, output = run(directory, "roll_die", capsys, "--skip-boundary")
    assert status == 0, output
    assert "roll_die: 2/2 passed, 1 boundary skipped" in output
    assert run(directory, "roll_die", capsys)[0] == 1


GOOD = {"id": "roll_die/x/0", "function": "roll_die", "args": [0, 6], "kwargs": {}, "expect": {"result": 2}}


@pytest.mark.parametrize(
    ("line", "complaint"),
    [
        ('{"id": "roll_die/x/1", ', "not JSON"),
        ("[1, 2]", "JSON object"),
        ("", "not JSON"),
        (GOOD | {"function": "roll_dice"}, "in the file of roll_die"),
        (GOOD | {"function": "rolldie"}, "unknown function name"),
        (GOOD | {"args": [{"float": "1.5"}, 6]}, "unknown encoding tag"),
        (GOOD | {"args": [{"bytes": "00", "int": "1"}, 6]}, "unknown encoding tag"),
        (GOOD | {"args": [{}, 6]}, "unknown encoding tag"),
        (GOOD | {"args": [{"int": "1e3"}, 6]}, "decimal string"),
        (GOOD | {"args": [{"bytes": "abc"}, 6]}, "hex digits"),
        (GOOD | {"args": [{"tuple": 5}, 6]}, "an array"),
        (GOOD | {"args": [0.5, 6]}, "fractional"),
        (GOOD | {"expect": {"result": {"seed": 1}}}, "unknown encoding tag"),
        (GOOD | {"expect": {"error": {"type": "ValueError"}}}, "exactly"),
        (GOOD | {"expect": {"result": 2, "error": None}}, "exactly one"),
        (GOOD | {"boundary": False}, "boundary"),
        (GOOD | {"extra": 1}, "exactly the keys"),
        ({key: value for key, value in GOOD.items() if key != "kwargs"}, "exactly the keys"),
        (GOOD | {"id": "roll_dice/x/0"}, '"id"'),
        (GOOD | {"id": "roll_die/x/1"}, "already names line 2"),
    ],
)
def test_a_damaged_vector_file_fails_naming_file_and_line(tmp_path, capsys, line, complaint):
    directory = write_kit(tmp_path, "roll_die", [GOOD, GOOD | {"id": "roll_die/x/1"}, line])
    status, output = run(directory, "roll_die", capsys)
    assert status == 2
    assert "roll_die.jsonl:3: " in output and complaint in output
    assert "passed" not in output  # nothing ran


@pytest.mark.parametrize(
    ("files", "complaint"),
    [(["roll_die", "rolldice"], "unknown function name 'rolldice'"), (["roll_dice"], "no vectors for roll_die")],
)
def test_a_kit_with_unknown_or_missing_files_fails(tmp_path, capsys, files, complaint):
    for function in files:
        write_kit(tmp_path, function, [GOOD | {"function": function, "id": f"{function}/x/0"}])
    status, output = run(tmp_path, "roll_die", capsys)
    assert status == 2 and complaint in output


@pytest.mark.parametrize(
    "value",
    [
        None,
        True,
        0,
        -(2**53) + 1,
        2**53 - 1,
        2**53,
        -(2**63),
        2**64 - 1,
        "",
        "\u00e9",
        b"",
        b"\x00\xff",
        (1, (2,)),
        [(1, 2)],
    ],
)
def test_encoding_round_trips_through_json(value):
    text = json.dumps(conformance.encode(value))
    assert conformance.decode(json.loads(text)) == value
    assert type(conformance.decode(json.loads(text))) is type(value)


def error(message: str) -> dict:
    return {"error": {"type": "ValueError", "message": message}}


@pytest.mark.parametrize(
    ("outcomes", "missing"),
    [
        ([error("floor_div by zero"), error("floor_div overflow (i64::MIN / -1)")], []),
        ([error("floor_div by zero"), {"result": 3}], ["floor_div overflow (i64::MIN / -1)"]),
        # A message with a prefix or a tail is another message.
        (
            [error("x floor_div by zero"), error("floor_div overflow (i64::MIN / -1) ")],
            ["floor_div by zero", "floor_div overflow (i64::MIN / -1)"],
        ),
    ],
)
def test_the_coverage_check_names_each_message_no_vector_raises(outcomes, missing):
    assert messages.uncovered_messages("floor_div", outcomes) == missing


@pytest.mark.parametrize(
    ("template", "message", "matches"),
    [
        ("world-epoch: bad tick input json: {}", "world-epoch: bad tick input json: Invalid value.", True),
        ("world-epoch: bad tick input json: {}", "world-epoch: bad catchup input json: x", False),
        ("AST: dice out of bounds: {s}", "AST: dice out of bounds: 101d6", True),
        ("AST: unknown math op: {op}", "AST: unknown math op: ", True),
        ("AST: node budget exceeded (max 256)", "AST: node budget exceeded (max 2560)", False),
    ],
)
def test_message_templates_match_only_their_own_messages(template, message, matches):
    assert bool(messages.message_pattern(template).match(message)) is matches


def test_a_module_that_cannot_be_imported_is_reported(capsys):
    status, output = run(VECTORS, "version", capsys, module="no_such_engine_module")
    assert status == 2 and "cannot import no_such_engine_module" in output
