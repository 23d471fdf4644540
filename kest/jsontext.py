"""JSON text read the way the engine reads it and written compactly.

Python's `json` accepts a few texts the engine refuses or reads differently; `loads` closes those
gaps so that what Python signs or verifies is what the engine would see.
"""

import json
import re


def _reject_constant(name: str):
    raise ValueError(f"{name} is not a JSON value")


def _integer(text: str) -> int | float:
    # The engine reads "-0" as the float negative zero, which has no canonical form; Python's
    # int would quietly turn it into 0 and sign or verify a different value.
    return -0.0 if text == "-0" else int(text)


# Made once: json.loads and json.dumps with options build a new decoder or encoder at every call,
# and a chain is read one line at a time. Neither keeps state between calls.
_DECODER = json.JSONDecoder(parse_int=_integer, parse_constant=_reject_constant)
_ENCODER = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False, allow_nan=False)
# The escape of a surrogate code unit (possibly a backslash's escape followed by such text, which
# only costs the full check below).
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")


def loads(text: str):
    """Parse JSON text; NaN, Infinity and escaped lone surrogates are refused with ValueError."""
    value = _DECODER.decode(text)
    # A lone surrogate in the value comes from the text itself, which encoding it finds, or from
    # an escape; only a text holding such an escape needs the value written out to tell a lone
    # surrogate from a pair.
    try:
        text.encode()
        if _SURROGATE_ESCAPE.search(text):
            dumps(value).encode()
    except UnicodeEncodeError:
        raise ValueError("a string holds a lone surrogate") from None
    return value


def dumps(value) -> str:
    """Compact JSON text, non-ASCII characters kept as they are."""
    return _ENCODER.encode(value)


def lines(text: str) -> list[str]:
    """The lines of JSON-lines text. Only a line feed ends one: U+2028, U+0085 and the other breaks
    of `str.splitlines` may stand unescaped inside a JSON string, as `dumps` writes them."""
    return text.split("\n")
