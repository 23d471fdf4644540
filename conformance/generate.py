"""Writes the conformance vectors from the case tables, recording what the installed module gives.

    python conformance/generate.py            # rewrite conformance/vectors
    python conformance/generate.py --check    # fail unless the checked-in files are what it writes

Output is deterministic: the tables are data or come from fixed seeds, lines are written in table
order with a fixed key order, so two runs give identical files. Before writing, the kit is held to
its promises: every listed error message of a function appears among its vectors, cases that raise
anything but ValueError are marked as boundary cases, the counts reach their floors and the files
stay under their size cap.
"""

import argparse
import json
import sys
from pathlib import Path

if not __package__:  # run as a script: make the checkout's packages importable
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import kest_engine_native  # noqa: E402
from conformance.cases.tables import TABLES  # noqa: E402
from conformance.messages import uncovered_messages  # noqa: E402
from kest.conformance import FUNCTIONS, encode, outcome  # noqa: E402

VECTORS = Path(__file__).resolve().parent / "vectors"
WHOLE_REQUEST = ("tick_epoch", "catch_up_epochs", "resume_session", "tick_frame", "reconcile_frames")
MIN_PER_FUNCTION, MIN_PER_WHOLE_REQUEST, MIN_TOTAL = 50, 1000, 15000
MAX_BYTES = 25 * 1024 * 1024


class KitError(Exception):
    """The tables do not make a kit that keeps its promises."""


def vector_line(function: str, topic: str, number: int, case) -> tuple[str, dict]:
    expect = outcome(kest_engine_native, function, list(case.args), case.kwargs)
    error = expect.get("error")
    case_id = f"{function}/{topic}/{number}"
    if error and error["type"] != "ValueError" and not case.boundary:
        raise KitError(f"{case_id} raises {error['type']} but is not marked as a boundary case")
    line = {"id": case_id, "function": function, "args": encode(list(case.args))}
    line |= {"kwargs": {name: encode(value) for name, value in case.kwargs.items()}, "expect": expect}
    if case.boundary:
        line["boundary"] = True
    return json.dumps(line, separators=(",", ":")), expect


def function_file(function: str) -> tuple[str, list[dict]]:
    lines, outcomes = [], []
    for topic, cases in TABLES[function].items():
        for number, case in enumerate(cases):
            text, expect = vector_line(function, topic, number, case)
            lines.append(text)
            outcomes.append(expect)
    return "".join(line + "\n" for line in lines), outcomes


def build() -> dict[str, str]:
    files, faults = {}, []
    for function in FUNCTIONS:
        text, outcomes = function_file(function)
        files[function] = text
        floor = MIN_PER_WHOLE_REQUEST if function in WHOLE_REQUEST else MIN_PER_FUNCTION
        if len(outcomes) < floor:
            faults.append(f"{function}: {len(outcomes)} vectors, fewer than {floor}")
        faults += [f"{function}: no vector raises {template!r}" for template in uncovered_messages(function, outcomes)]
    total = sum(text.count("\n") for text in files.values())
    size = sum(len(text.encode()) for text in files.values())
    if total < MIN_TOTAL:
        faults.append(f"{total} vectors in all, fewer than {MIN_TOTAL}")
    if size >= MAX_BYTES:
        faults.append(f"{size} bytes of vectors, not under {MAX_BYTES}")
    if faults:
        raise KitError("\n".join(faults))
    return files


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="verify the files instead of writing them")
    parser.add_argument("--vectors", type=Path, default=VECTORS, help="directory of the vector files")
    options = parser.parse_args(argv)
    try:
        files = build()
    except KitError as error:
        print(f"generate: {error}", file=sys.stderr)
        return 1
    stale = sorted(
        name
        for name, text in files.items()
        if not (options.vectors / f"{name}.jsonl").is_file()
        or (options.vectors / f"{name}.jsonl").read_text(encoding="utf-8") != text
    )
    extra = sorted(path.name for path in options.vectors.glob("*.jsonl") if path.stem not in files)
    if options.check:
        for name in stale:
            print(f"generate: {name}.jsonl differs from what the tables give", file=sys.stderr)
        for name in extra:
            print(f"generate: {name} is not written by the tables", file=sys.stderr)
        return 1 if stale or extra else 0
    options.vectors.mkdir(parents=True, exist_ok=True)
    for name in extra:
        (options.vectors / name).unlink()
    for name in stale:
        (options.vectors / f"{name}.jsonl").write_text(files[name], encoding="utf-8")
    total = sum(text.count("\n") for text in files.values())
    print(f"generate: {total} vectors, {len(stale)} file(s) rewritten")
    return 0


if __name__ == "__main__":
    sys.exit(main())
