"""JSON text read the way the engine reads it and written compactly.

Python's `json` accepts texts the engine refuses (NaN, numbers no double holds, escaped lone
surrogates, nesting far beyond the engine's limit, deep enough to exhaust Python's own) and reads
"-0" differently. `loads` closes those gaps, so that what Python signs or verifies is what the
engine would see, and text from outside (a file, standard input, a request body) is either read
or refused with Refused, in the engine's words where it has some.
"""

import json
import re
from itertools import accumulate

from kest.errors import Refused

MAX_DEPTH = 127  # arrays and objects inside one another, as deep as the engine reads them

TOO_DEEP = f"Nesting deeper than {MAX_DEPTH} levels."
TOO_BIG = "Number too big to be stored in double."
LONE_SURROGATE = "a string holds a lone surrogate"

# The largest double is below 1e309: an integer of fewer digits is always within its range, and
# one of more never is.
_DOUBLE_DIGITS = 309
_INFINITIES = (float("inf"), float("-inf"))


def _reject_constant(name: str):
    raise Refused(f"{name} is not a JSON value")


def _integer(text: str) -> int | float:
    if len(text) < _DOUBLE_DIGITS:
        # The engine reads "-0" as the float negative zero, which has no canonical form; Python's
        # int would quietly turn it into 0 and sign or verify a different value.
        return -0.0 if text == "-0" else int(text)
    # Refused before `int` spends time quadratic in the length on it.
    if len(text.removeprefix("-")) <= _DOUBLE_DIGITS:
        value = int(text)
        try:
            float(value)
            return value
        except OverflowError:
            pass
    raise Refused(TOO_BIG)


def _float(text: str) -> float:
    value = float(text)
    if value in _INFINITIES:
        raise Refused(TOO_BIG)
    return value


# Made once: json.loads and json.dumps with options build a new decoder or encoder at every call,
# and a chain is read one line at a time. Neither keeps state between calls. Reading integers in
# Python costs a third of the parse of a line full of them: the exact decoder reads only texts that
# may hold "-0" or an integer beyond a double, the other leaves integers to the parser.
_EXACT_DECODER = json.JSONDecoder(parse_int=_integer, parse_float=_float, parse_constant=_reject_constant)
_DECODER = json.JSONDecoder(parse_float=_float, parse_constant=_reject_constant)
_ENCODER = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False, allow_nan=False)

# What the cheap checks look for. A "-0" that is a number (or text inside a string, which only
# costs the exact decoder).
_NEGATIVE_ZERO = re.compile(r"-0(?![0-9.eE])")
# Each byte mapped to "[" for an opening bracket of either kind, "0" for a digit, " " otherwise.
_OPENINGS_AND_DIGITS = bytes(
    ord("[") if byte in b"[{" else ord("0") if byte in b"0123456789" else ord(" ") for byte in range(256)
)
_LONG_DIGITS = b"0" * _DOUBLE_DIGITS
# The escape of a surrogate code unit (possibly a backslash's escape followed by such text, which
# only costs the full check below).
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")

# The bytes that tell where arrays and objects open and close: brackets, and the quotes around the
# strings, which hide the brackets they hold. Objects count as arrays do: "{" becomes "[".
_BRACKETS = bytes.maketrans(b"{}", b"[]")
_NOT_STRUCTURE = bytes(set(range(256)) - set(b'[]{}"'))
_STRING = re.compile(rb'"[^"]*"')
_DEPTH_STEP = [0] * 256
_DEPTH_STEP[ord("[")], _DEPTH_STEP[ord("]")] = 1, -1
# Rounds of dropping innermost pairs before the depth is summed bracket by bracket.
_PRUNING_ROUNDS = 8


def _depth(marks: bytes) -> int:
    return max(accumulate(map(_DEPTH_STEP.__getitem__, marks)), default=0)


def _nests_too_deep(data: bytes) -> bool:
    """Whether UTF-8 JSON text nests arrays and objects more than MAX_DEPTH levels deep. Exact over
    the longest start of the text that is valid JSON, the only part a parser reads; and a parser
    that met no such nesting there never goes deeper than MAX_DEPTH."""
    if b"\\" in data:
        # Escaped backslashes first, so that "\\" before a closing quote does not pass for an
        # escaped quote; no other escape holds a quote.
        data = data.replace(b"\\\\", b"").replace(b'\\"', b"")
    marks = data.translate(_BRACKETS, _NOT_STRUCTURE)
    # Two quotes side by side close one string and open the next, or enclose a string without
    # brackets; dropping them keeps which brackets are inside strings, and leaves the pattern
    # only the few strings that hold brackets.
    marks = _STRING.sub(b"", marks.replace(b'""', b""))
    # Summing bracket by bracket is the slow part. Each round drops every innermost pair "[]",
    # most of the brackets of most texts, and lowers the depth by one level at most, so a text
    # that stays within the limit less those rounds is within it; any other is summed in full.
    pruned = marks
    for _ in range(_PRUNING_ROUNDS):
        pruned = pruned.replace(b"[]", b"")
    return _depth(pruned) + _PRUNING_ROUNDS > MAX_DEPTH and _depth(marks) > MAX_DEPTH


def _utf8(text: bytes) -> str:
    try:
        return text.decode()
    except UnicodeDecodeError as failure:
        raise Refused(f"not UTF-8: {failure.reason} at byte {failure.start}") from None


def loads(text: str | bytes):
    """The value of JSON text, or of its UTF-8 bytes, as the engine reads it: "-0" is the float
    -0.0, other integers are ints. Refused, and nothing else, for text that is not JSON and for
    what the engine refuses: nesting deeper than MAX_DEPTH, a number beyond the range of a double,
    NaN and Infinity, a lone surrogate."""
    if type(text) is str:
        try:
            data = text.encode()
        except UnicodeEncodeError:
            raise Refused(LONE_SURROGATE) from None
    else:
        data, text = text, _utf8(text)
    exact = _NEGATIVE_ZERO.search(text)
    # Text nested too deep holds more than MAX_DEPTH opening brackets and, when valid, as many
    # closing ones; an integer beyond a double holds 309 digits. Shorter text holds neither, and
    # is too short to reach the parser's own limit on nesting: nesting too deep in it is named
    # when the parse fails. Mapping and counting cost a tenth of the parse at most.
    if len(data) > 2 * MAX_DEPTH + 1:
        marks = data.translate(_OPENINGS_AND_DIGITS)
        if marks.count(b"[") > MAX_DEPTH and _nests_too_deep(data):
            raise Refused(TOO_DEEP)
        exact = exact or _LONG_DIGITS in marks
    try:
        value = (_EXACT_DECODER if exact else _DECODER).decode(text)
    except json.JSONDecodeError as failure:
        # Nesting too deep is what the engine names, in text too short to be counted above too.
        raise Refused(TOO_DEEP if _nests_too_deep(data) else str(failure)) from None
    # A lone surrogate in the text itself fails its encoding above; one from an escape is told
    # from an escaped pair only in the value written out, which only a text holding such an
    # escape needs.
    if _SURROGATE_ESCAPE.search(text):
        try:
            dumps(value).encode()
        except UnicodeEncodeError:
            raise Refused(LONE_SURROGATE) from None
    return value


def dumps(value) -> str:
    """Compact JSON text, non-ASCII characters kept as they are. Never fails on a value `loads`
    returned; ValueError for NaN, infinities and integers of more than 4300 digits from elsewhere."""
    return _ENCODER.encode(value)


def lines(text: str) -> list[str]:
    """The lines of JSON-lines text. Only a line feed ends one: U+2028, U+0085 and the other breaks
    of `str.splitlines` may stand unescaped inside a JSON string, as `dumps` writes them."""
    return text.split("\n")
