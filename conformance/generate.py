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
from conformance.messages import uncovered_messages  # noqa: E402
from kest.conformance import FUNCTIONS, encode, outcome  # noqa: E402

VECTORS = Path(__file__).resolve().parent / "vectors"
WHOLE_REQUEST = ("tick_epoch", "catch_up_epochs", "resume_session", "tick_frame", "reconcile_frames")
MIN_PER_FUNCTION, MIN_PER_WHOLE_REQUEST, MIN_TOTAL = 50, 1000, 15000
MAX_BYTES = 30 * 1024 * 1024


class KitError(Exception):
    """The tables do not make a kit that keeps its promises."""


def vector_line(function: str, topic: str, number: int, case, module=kest_engine_native) -> tuple[str, dict]:
    """One case's line of text and its recorded outcome."""
    expect = outcome(module, function, list(case.args), case.kwargs)
    error = expect.get("error")
    case_id = f"{function}/{topic}/{number}"
    if error and error["type"] != "ValueError" and not case.boundary:
        raise KitError(f"{case_id} raises {error['type']} but is not marked as a boundary case")
    line = {"id": case_id, "function": function, "args": encode(list(case.args))}
    line |= {"kwargs": {name: encode(value) for name, value in case.kwargs.items()}, "expect": expect}
    if case.boundary:
        line["boundary"] = True
    return json.dumps(line, separators=(",", ":")), expect


def render(tables: dict, module=kest_engine_native) -> tuple[dict[str, str], dict[str, list]]:
    """The text of each function's file, and the outcomes its lines record."""
    files, outcomes = {}, {}
    for function, topics in tables.items():
        lines, outcomes[function] = [], []
        for topic, cases in topics.items():
            for number, case in enumerate(cases):
                text, expect = vector_line(function, topic, number, case, module)
                lines.append(text + "\n")
                outcomes[function].append(expect)
        files[function] = "".join(lines)
    return files, outcomes


def kit_faults(files: dict[str, str], outcomes: dict[str, list]) -> list[str]:
    """Every way the rendered kit falls short: missing functions, counts, messages, size."""
    faults = [f"{function}: no cases" for function in FUNCTIONS if function not in files]
    for function, recorded in outcomes.items():
        floor = MIN_PER_WHOLE_REQUEST if function in WHOLE_REQUEST else MIN_PER_FUNCTION
        if len(recorded) < floor:
            faults.append(f"{function}: {len(recorded)} vectors, fewer than {floor}")
        faults += [f"{function}: no vector raises {template!r}" for template in uncovered_messages(function, recorded)]
    total = sum(len(recorded) for recorded in outcomes.values())
    size = sum(len(text.encode()) for text in files.values())
    if total < MIN_TOTAL:
        faults.append(f"{total} vectors in all, fewer than {MIN_TOTAL}")
    if size >= MAX_BYTES:
        faults.append(f"{size} bytes of vectors, not under {MAX_BYTES}")
    return faults


def differences(files: dict[str, str], directory: Path) -> tuple[list[str], list[str]]:
    """The functions whose file is missing or differs, and the files no table writes."""
    # Bytes, not text: a checkout that turned line ends into CRLF holds other files.
    stale = [
        name
        for name, text in files.items()
        if not (directory / f"{name}.jsonl").is_file() or (directory / f"{name}.jsonl").read_bytes() != text.encode()
    ]
    extra = sorted(path.name for path in directory.glob("*.jsonl") if path.stem not in files)
    return stale, extra


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="verify the files instead of writing them")
    parser.add_argument("--vectors", type=Path, default=VECTORS, help="directory of the vector files")
    options = parser.parse_args(argv)
    # Building the tables runs campaigns and signs chains, so it waits until a run needs them.
    from conformance.cases.tables import TABLES

    try:
        files, outcomes = render(TABLES)
        faults = kit_faults(files, outcomes)
    except KitError as error:
        faults = [str(error)]
    if faults:
        print("generate: " + "\ngenerate: ".join(faults), file=sys.stderr)
        return 1
    stale, extra = differences(files, options.vectors)
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
        (options.vectors / f"{name}.jsonl").write_bytes(files[name].encode())
    total = sum(len(recorded) for recorded in outcomes.values())
    print(f"generate: {total} vectors, {len(stale)} file(s) rewritten")
    return 0


if __name__ == "__main__":
    sys.exit(main())
