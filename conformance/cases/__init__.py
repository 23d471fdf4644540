"""The case tables of the conformance kit: for every function, topics in the order they are
written, each a list of calls. A topic's table is data; where cases come from a seeded generator,
the seed is part of the table, so every run yields the same calls."""

import json
from dataclasses import dataclass, field

from kest.conformance import SAFE_INTEGER

SAFE = SAFE_INTEGER
ABSENT = object()  # a member left out of a document
U64_MAX = 2**64 - 1
# "e" and a combining acute accent: the same text as U+00E9 but not in Normalization Form C.
DECOMPOSED_E = "e\u0301"
ASTRAL = "\U00010000"  # the first character outside the Basic Multilingual Plane


@dataclass(frozen=True)
class Call:
    args: tuple
    kwargs: dict = field(default_factory=dict)
    # Binding and conversion cases that only a Python boundary can have.
    boundary: bool = False


def call(*args, **kwargs) -> Call:
    return Call(args, kwargs)


def boundary(*args, **kwargs) -> Call:
    return Call(args, kwargs, boundary=True)


def grid(*axes) -> list[tuple]:
    """Every combination of the axes' values, the first axis slowest."""
    combos = [()]
    for axis in axes:
        combos = [combo + (value,) for combo in combos for value in axis]
    return combos


def entity(tags, hp=10, **properties) -> dict:
    return {"properties": {"hp": hp, **properties}, "tags": tags}


def present(value):
    """The value with every member given as ABSENT left out, at any depth."""
    if isinstance(value, dict):
        return {name: present(member) for name, member in value.items() if member is not ABSENT}
    return value


def dumps(value) -> str:
    """Compact JSON text, as the documents the engine reads are written."""
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def document(members: dict) -> str:
    """The JSON text of an input document, members given as ABSENT left out at any depth."""
    return dumps(present(members))
