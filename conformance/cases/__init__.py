"""The case tables of the conformance kit: for every function, topics in the order they are
written, each a list of calls. A topic's table is data; where cases come from a seeded generator,
the seed is part of the table, so every run yields the same calls."""

from dataclasses import dataclass, field


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
