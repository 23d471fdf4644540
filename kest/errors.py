"""The package's one refusal: input it will not take, or a step it will not carry out, with the
reason in words for the person who gave it (the engine's words where the engine refused).

Refused is a ValueError, which is what the engine raises for input it refuses, so code that
catches ValueError catches both.
"""

import contextlib
from collections.abc import Iterator


class Refused(ValueError):
    """A refusal to report as it is: one line, no traceback."""


@contextlib.contextmanager
def refusing(context: str = "") -> Iterator[None]:
    """Any ValueError raised in the block, the engine's and a Refused included, is refused with
    `context` (what the block was reading, e.g. "chain.jsonl: ") before its message."""
    try:
        yield
    except ValueError as failure:
        raise Refused(f"{context}{failure}") from None
