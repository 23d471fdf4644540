"""`jsontext.loads` reads what the engine reads and refuses what it refuses, with Refused and
nothing else; `dumps` writes back whatever `loads` returned."""

import json
import random

import pytest

import kest_engine_native as k
from kest import jsontext
from kest.errors import Refused


def nested(depth: int, inner: str = "1") -> list[str]:
    return ["[" * depth + inner + "]" * depth, '{"a":' * depth + inner + "}" * depth]


@pytest.mark.parametrize(
    "text",
    [
        *nested(127),
        *nested(126, '"' + "[[[[" * 10 + '"'),
        # Escaped quotes and backslashes do not end the strings that hold the brackets.
        *nested(127, '"\\"[[[\\\\\\"{{{\\\\"'),
        '["' + "[" * 500 + '"]',
    ],
)
def test_nesting_up_to_the_limit_is_read_whatever_the_strings_hold(text):
    assert jsontext.loads(text) == json.loads(text)


@pytest.mark.parametrize(
    "text",
    [
        *nested(128),
        *nested(100_000),
        "[" * 100_000,
        '["\\\\",' + "[" * 128 + "]" * 129,  # the string ends at the quote after an escaped backslash
        '["]]]",' + "[" * 128 + "]" * 129,
    ],
)
def test_nesting_beyond_the_limit_is_refused_in_the_engines_words(text):
    with pytest.raises(Refused, match="^Nesting deeper than 127 levels.$"):
        jsontext.loads(text)
    assert "Nesting deeper than 127 levels." in engine_refusal(text)


def engine_refusal(text: str) -> str:
    try:
        k.world_state_hash("k", text)
    except ValueError as failure:
        return str(failure)
    return ""


def test_nesting_is_refused_exactly_where_the_engine_refuses_it():
    rng = random.Random(24)
    pieces = ["[", "]", "{", "}", "\\", '"', "a", "\n", "é"]

    def string() -> str:
        return json.dumps("".join(rng.choices(pieces, k=rng.randint(0, 6))), ensure_ascii=rng.random() < 0.5)

    def value(depth: int) -> str:
        if depth == 0 or rng.random() < 0.03:
            return string()
        items = [value(depth - 1) for _ in range(2 if rng.random() < 0.01 else 1)]
        if rng.random() < 0.5:
            return "[" + ",".join(items) + "]"
        return "{" + ",".join(f"{string()}:{item}" for item in items) + "}"

    for _ in range(300):
        text = value(rng.randint(120, 135))
        refused = False
        try:
            jsontext.loads(text)
        except Refused:
            refused = True
        assert refused == ("Nesting" in engine_refusal(text)), text


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("[1e400]", "Number too big to be stored in double."),
        ("[-1E+400]", "Number too big to be stored in double."),
        ("[" + "9" * 309 + "]", "Number too big to be stored in double."),
        ("[-" + "1" * 5000 + "]", "Number too big to be stored in double."),
        ("[" + "1" * 400 + ".5]", "Number too big to be stored in double."),
        ("[NaN]", "NaN is not a JSON value"),
        ("[-Infinity]", "-Infinity is not a JSON value"),
        ('["\\ud800"]', "a string holds a lone surrogate"),
        ('["\ud800"]', "a string holds a lone surrogate"),
        (b'["\xff"]', "not UTF-8: invalid start byte at byte 2"),
        ("", "Expecting value"),
        ("\ufeff[]", "Expecting value"),
        ('["a\x00"]', "Invalid control character"),
    ],
)
def test_every_refusal_is_refused(text, message):
    with pytest.raises(Refused, match=message.replace(".", r"\.").replace("+", r"\+")):
        jsontext.loads(text)
    if isinstance(text, str) and message[0].isupper() and "Expecting" not in message:
        assert engine_refusal(text)  # the engine refuses it too


@pytest.mark.parametrize(
    "text",
    ["-0", "9" * 308, "-" + "9" * 308, "1.7976931348623157e308", "1e-400", str(2**64), '"\\ud83d\\ude00\\u0000"'],
)
def test_what_is_read_is_written_back(text):
    value = jsontext.loads(text)
    assert jsontext.loads(jsontext.dumps(value)) == value
    assert jsontext.loads(text.encode()) == value
