"""Primitives and the JSON layer: `roll_dice(seed, 100, 20)` next to the cheapest call the module
has (`version()`), and the engine's own parse + write of a 10 MB world next to Python's
`json.loads` + `json.dumps` of the same text.

The engine's JSON layer alone is timed by the C++ program `json_throughput`, found in the CMake
build directory named by `--build-dir` of bench/run.py or $KEST_BUILD_DIR (default build/ci)."""

import itertools
import json
import os
import pathlib
import subprocess
import tempfile

from timing import best_times
from worlds import entities_for_bytes, world

import kest_engine_native as k

ROOT = pathlib.Path(__file__).resolve().parent.parent


def calls(function, args: tuple, count: int):
    """A loop of `count` calls, the same loop for every function compared."""

    def loop():
        for _ in itertools.repeat(None, count):
            function(*args)

    return loop


def dice_cost(quick: bool) -> list[tuple[str, str]]:
    count, runs = (20_000, 3) if quick else (500_000, 7)
    dice, baseline = best_times(runs, calls(k.roll_dice, (1, 100, 20), count), calls(k.version, (), count))
    return [
        ("roll_dice(seed, 100, 20) calls/s", f"{count / dice:,.0f}"),
        ("version() calls/s (baseline)", f"{count / baseline:,.0f}"),
        ("roll_dice time / version time", f"{dice / baseline:.2f}x"),
        ("one d20 inside roll_dice (ns)", f"{(dice - baseline) / count / 100 * 1e9:.1f}"),
    ]


def json_program() -> pathlib.Path:
    build = pathlib.Path(os.environ.get("KEST_BUILD_DIR", ROOT / "build" / "ci"))
    return build / "bench" / "json_throughput"


def json_cost(quick: bool) -> list[tuple[str, str]]:
    program = json_program()
    figure = "engine parse + write / json.loads + json.dumps, throughput"
    if not program.is_file():
        hint = "build the target json_throughput (KEST_BUILD_BENCH=ON) and name its build dir with --build-dir"
        return [(figure, f"skipped: no {program}; {hint}")]
    size, runs = (1e6, 3) if quick else (10e6, 5)
    text = json.dumps(world(entities_for_bytes(size)), ensure_ascii=False)
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".json") as file:
        file.write(text)
        file.flush()
        done = subprocess.run([program, file.name, str(runs)], check=True, capture_output=True, text=True)
    engine = json.loads(done.stdout)

    def loads_and_dumps():
        return json.dumps(json.loads(text), separators=(",", ":"), ensure_ascii=False)

    # Both write the same compact text, up to the order of members.
    assert engine["bytes_out"] == len(loads_and_dumps().encode())
    (python,) = best_times(runs, loads_and_dumps)
    megabytes = engine["bytes_in"] / 1e6
    return [
        ("JSON workload", f"world state of {megabytes:.1f} MB"),
        ("engine parse + write (json_throughput)", f"{megabytes / engine['best_seconds']:.0f} MB/s"),
        ("json.loads + json.dumps", f"{megabytes / python:.0f} MB/s"),
        (figure, f"{python / engine['best_seconds']:.2f}x"),
    ]


def run(quick: bool) -> list[tuple[str, str]]:
    return dice_cost(quick) + json_cost(quick)
