"""Checks a module against the language-neutral conformance vectors.

    python -m kest.conformance [--module NAME] [--vectors DIR] [--only f1,f2] [--skip-boundary]

Each `<function>.jsonl` file of the vector directory holds one case a line:

    {"id": ..., "function": ..., "args": [...], "kwargs": {...}, "expect": {"result": ...}}
    {"id": ..., "function": ..., "args": [...], "kwargs": {...}, "expect": {"error": {"type": ..., "message": ...}}}

optionally with "boundary": true for cases that only a Python boundary can have. Values are plain
JSON except three tagged objects: {"bytes": "<hex>"}, {"tuple": [...]} and {"int": "<decimal>"} for
an integer beyond the ECMAScript safe range. The runner calls every case, encodes the outcome the
same way and compares the two as JSON text; it prints a line per function and every failure, and
exits 0 only when every case passed. A vector file it cannot read exactly fails the run with the
file and line named, so a damaged kit never passes.
"""

import argparse
import importlib
import json
import sys
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

# The module's functions, in registration order; the only names a vector may call.
FUNCTIONS = (
    "version",
    "band_from_distance_ft",
    "band_within",
    "roll_die",
    "roll_dice",
    "pcg32_next",
    "floor_div",
    "initiative_order_ids",
    "hmac_sha256_hex",
    "sign_record",
    "world_state_hash",
    "global_region_hash",
    "evaluate_action",
    "apply_triggered_mutations",
    "tick_epoch",
    "catch_up_epochs",
    "resume_session",
    "tick_frame",
    "reconcile_frames",
)

# Integers an ECMAScript JSON.parse reads exactly; any other integer travels as {"int": "<decimal>"}.
SAFE_INTEGER = 9007199254740991
VECTOR_KEYS = {"id", "function", "args", "kwargs", "expect"}
OPTIONAL_KEYS = {"boundary"}
EXIT_FAILED, EXIT_BAD_KIT = 1, 2


class VectorError(ValueError):
    """A vector file that cannot be read exactly; its message names the file and line."""


def encode(value):
    """A Python value in vector form: the inverse of `decode`."""
    if value is None or isinstance(value, bool | str):
        return value
    if isinstance(value, int):
        return value if -SAFE_INTEGER <= value <= SAFE_INTEGER else {"int": str(value)}
    if isinstance(value, bytes):
        return {"bytes": value.hex()}
    if isinstance(value, tuple):
        return {"tuple": [encode(item) for item in value]}
    if isinstance(value, list):
        return [encode(item) for item in value]
    raise TypeError(f"no vector form for a {type(value).__name__}")


def _decode_int(text) -> int:
    digits = text[1:] if isinstance(text, str) and text.startswith("-") else text
    if not isinstance(digits, str) or not digits.isascii() or not digits.isdigit():
        raise ValueError(f"an int tag needs a decimal string, not {json.dumps(text)}")
    return int(text)


def _decode_bytes(text) -> bytes:
    if not isinstance(text, str) or len(text) % 2 or text != text.lower():
        raise ValueError(f"a bytes tag needs lowercase hex digits in pairs, not {json.dumps(text)}")
    return bytes.fromhex(text)


def _decode_tuple(items) -> tuple:
    if not isinstance(items, list):
        raise ValueError(f"a tuple tag needs an array, not {json.dumps(items)}")
    return tuple(decode(item) for item in items)


TAGS = {"bytes": _decode_bytes, "tuple": _decode_tuple, "int": _decode_int}


def decode(value):
    """A vector value as the Python value it stands for; ValueError on anything but plain JSON
    scalars, arrays and the three tags."""
    if isinstance(value, list):
        return [decode(item) for item in value]
    if isinstance(value, dict):
        if len(value) != 1 or next(iter(value)) not in TAGS:
            raise ValueError(f"unknown encoding tag {json.dumps(value)[:80]}")
        ((tag, payload),) = value.items()
        return TAGS[tag](payload)
    if isinstance(value, float):
        raise ValueError(f"a fractional number {value!r} has no vector meaning")
    return value


def _canon(value) -> str:
    # JSON text tells true from 1 and 1 from 1.0, which Python's == does not; ASCII escapes keep a
    # lone surrogate in an outcome printable.
    return json.dumps(value, sort_keys=True)


@dataclass(frozen=True)
class Vector:
    id: str
    function: str
    args: list
    kwargs: dict
    expect: dict
    boundary: bool
    where: str


def _check_expect(expect) -> None:
    if not isinstance(expect, dict) or len(expect) != 1:
        raise ValueError('"expect" must hold exactly one of "result" and "error"')
    if "error" in expect:
        error = expect["error"]
        if not isinstance(error, dict) or set(error) != {"type", "message"}:
            raise ValueError('"error" must hold exactly "type" and "message"')
        if not all(isinstance(error[name], str) for name in error):
            raise ValueError('"error" type and message must be strings')
    elif "result" in expect:
        decode(expect["result"])
    else:
        raise ValueError('"expect" must hold exactly one of "result" and "error"')


def parse_line(text: str, function: str) -> tuple:
    """The fields of one vector line of `function`'s file; ValueError saying what is wrong."""
    try:
        line = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"not JSON: {error}") from None
    if not isinstance(line, dict):
        raise ValueError("a vector must be a JSON object")
    keys = set(line)
    if not VECTOR_KEYS <= keys or not keys <= VECTOR_KEYS | OPTIONAL_KEYS:
        raise ValueError(f"a vector has exactly the keys {sorted(VECTOR_KEYS)} and optionally 'boundary'")
    if line["function"] not in FUNCTIONS:
        raise ValueError(f"unknown function name {json.dumps(line['function'])}")
    if line["function"] != function:
        raise ValueError(f"function {line['function']} in the file of {function}")
    if not isinstance(line["id"], str) or not line["id"].startswith(f"{function}/"):
        raise ValueError(f'"id" must be a string beginning "{function}/"')
    if not isinstance(line["args"], list) or not isinstance(line["kwargs"], dict):
        raise ValueError('"args" must be an array and "kwargs" an object')
    if line.get("boundary", True) is not True:
        raise ValueError('"boundary" is either absent or true')
    args, kwargs = decode(line["args"]), {name: decode(value) for name, value in line["kwargs"].items()}
    _check_expect(line["expect"])
    return line["id"], args, kwargs, line["expect"], "boundary" in line


def read_vectors(path: Path) -> Iterator[Vector]:
    function = path.stem
    if function not in FUNCTIONS:
        raise VectorError(f"{path}: unknown function name {function!r}")
    first_seen = {}
    with path.open(encoding="utf-8") as lines:
        for number, text in enumerate(lines, 1):
            where = f"{path}:{number}"
            try:
                id_, args, kwargs, expect, boundary = parse_line(text, function)
            except ValueError as error:
                raise VectorError(f"{where}: {error}") from None
            # A failure is reported by id, so an id must name one case.
            if id_ in first_seen:
                raise VectorError(f"{where}: id {id_} already names line {first_seen[id_]}")
            first_seen[id_] = number
            yield Vector(id_, function, args, kwargs, expect, boundary, where)


def outcome(module, function: str, args: list, kwargs: dict) -> dict:
    """What the module gives for one call, in the form of a vector's "expect" member."""
    try:
        result = getattr(module, function)(*args, **kwargs)
    except Exception as error:  # every exception is an outcome to compare, never a crash of the runner
        return {"error": {"type": type(error).__name__, "message": str(error)}}
    return {"result": encode(result)}


def vector_files(directory: Path, only: Iterable[str] | None) -> list[Path]:
    if not directory.is_dir():
        raise VectorError(f"{directory}: no such vector directory")
    present = {path.stem: path for path in sorted(directory.glob("*.jsonl"))}
    for stem, path in present.items():
        if stem not in FUNCTIONS:
            raise VectorError(f"{path}: unknown function name {stem!r}")
    wanted = list(only) if only is not None else list(FUNCTIONS)
    missing = [name for name in wanted if name not in present]
    if missing:
        raise VectorError(f"{directory}: no vectors for {', '.join(missing)}")
    return [present[name] for name in wanted]


@dataclass
class Tally:
    passed: int = 0
    skipped: int = 0
    failures: list = field(default_factory=list)


def run(module, files: list[Path], skip_boundary: bool, out) -> bool:
    """Checks every vector of `files`; prints a line per function and each failure. True when all
    passed. Every file is read in full before anything is called, so a damaged kit runs nothing."""
    kit = {path.stem: list(read_vectors(path)) for path in files}
    all_passed = True
    for function, vectors in kit.items():
        tally, started = Tally(), time.perf_counter()
        for vector in vectors:
            if vector.boundary and skip_boundary:
                tally.skipped += 1
                continue
            actual = outcome(module, function, vector.args, vector.kwargs)
            if _canon(actual) == _canon(vector.expect):
                tally.passed += 1
            else:
                tally.failures.append((vector, actual))
        checked = len(vectors) - tally.skipped
        skipped = f", {tally.skipped} boundary skipped" if tally.skipped else ""
        seconds = time.perf_counter() - started
        print(f"{function}: {tally.passed}/{checked} passed{skipped} ({seconds:.2f} s)", file=out)
        for vector, actual in tally.failures:
            print(f"  FAIL {vector.id} ({vector.where})", file=out)
            print(f"    expected {_canon(vector.expect)[:2000]}", file=out)
            print(f"    actual   {_canon(actual)[:2000]}", file=out)
        all_passed = all_passed and not tally.failures
    return all_passed


def default_vectors() -> Path:
    """The vectors of the source checkout: the one holding this package, else the working directory's."""
    for root in (Path(__file__).resolve().parent.parent, Path.cwd()):
        candidate = root / "conformance" / "vectors"
        if candidate.is_dir():
            return candidate
    return Path.cwd() / "conformance" / "vectors"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kest.conformance", description=__doc__.split("\n\n")[0])
    parser.add_argument("--module", default="kest_engine_native", help="importable module to check")
    parser.add_argument("--vectors", type=Path, default=None, help="directory of <function>.jsonl files")
    parser.add_argument("--only", default=None, help="comma-separated function names to check")
    parser.add_argument("--skip-boundary", action="store_true", help="skip the Python-boundary cases")
    options = parser.parse_args(argv)
    only = None if options.only is None else [name for name in options.only.split(",") if name]
    unknown = [name for name in only or () if name not in FUNCTIONS]
    if unknown:
        parser.error(f"unknown function name(s): {', '.join(unknown)}")
    try:
        files = vector_files(options.vectors or default_vectors(), only)
        module = importlib.import_module(options.module)
        passed = run(module, files, options.skip_boundary, sys.stdout)
    except VectorError as error:
        print(f"conformance: {error}", file=sys.stderr)
        return EXIT_BAD_KIT
    except ImportError as error:
        print(f"conformance: cannot import {options.module}: {error}", file=sys.stderr)
        return EXIT_BAD_KIT
    print("conformance: all vectors passed" if passed else "conformance: FAILED", file=sys.stdout)
    return 0 if passed else EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
