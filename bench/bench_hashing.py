"""State hashing: `world_state_hash` throughput next to Python's `json.loads` of the same text
(parsing alone, without any hashing), and the peak memory one hash call adds. The world is hashed
as Python writes it (members in insertion order, so entity "e10" comes before "e2"; non-ASCII
characters as they are, or escaped as json.dumps does by default) and as the engine writes it
(members in key order)."""

import json
import subprocess
import sys
import tempfile
import time

from timing import best_times
from worlds import entities_for_bytes, world

import kest_engine_native as k

# Run in a fresh interpreter, reading the kernel's high-water mark of resident memory after
# resetting it just before the call (getrusage's maxrss cannot be reset, and a forked child
# starts with its parent's).
MEMORY_PROBE = r"""
import re, sys
import kest_engine_native as k

def kib(name):
    with open("/proc/self/status") as status:
        return int(re.search(name + r":\s+(\d+)", status.read()).group(1))

text = open(sys.argv[1], encoding="utf-8").read()
k.world_state_hash("key", '["\u00e9"]')  # loads the libraries' tables first
with open("/proc/self/clear_refs", "w") as clear_refs:
    clear_refs.write("5")
before = kib("VmRSS")
k.world_state_hash("key", text)
print(kib("VmHWM") - before)
"""


def peak_memory_bytes(text: str) -> int:
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".json") as file:
        file.write(text)
        file.flush()
        probe = subprocess.run(
            [sys.executable, "-c", MEMORY_PROBE, file.name], check=True, capture_output=True, text=True
        )
    return int(probe.stdout) * 1024


def first_call_time(runs: int, text: str) -> float:
    """The best time of a hash call on a str it is the first call on, so that it also pays for the
    str's UTF-8 form (free for an ASCII str)."""
    best = float("inf")
    for _ in range(runs):
        fresh = text.encode().decode()
        start = time.perf_counter()
        k.world_state_hash("key", fresh)
        best = min(best, time.perf_counter() - start)
    return best


def run(quick: bool) -> list[tuple[str, str]]:
    size = 1e6 if quick else 10e6
    runs = 3 if quick else 7
    state = world(entities_for_bytes(size))
    rows = [("workload", f"{len(state['entities'])} entities, about {size / 1e6:.0f} MB of JSON, non-ASCII names")]
    texts = {
        "insertion order": json.dumps(state, ensure_ascii=False),
        "insertion order, escaped": json.dumps(state),
        "key order": json.dumps(state, ensure_ascii=False, sort_keys=True),
    }
    for label, text in texts.items():
        length = len(text.encode())
        # A str keeps its UTF-8 form once asked for it, as the first call here does; every later
        # call, like any caller's second one on the same str, reads that.
        k.world_state_hash("key", text)
        loads, hashing = best_times(runs, lambda t=text: json.loads(t), lambda t=text: k.world_state_hash("key", t))
        fresh = first_call_time(runs, text)
        extra = peak_memory_bytes(text)
        rows += [
            (f"{label}: json.loads", f"{length / loads / 1e6:.0f} MB/s"),
            (f"{label}: world_state_hash", f"{length / hashing / 1e6:.0f} MB/s"),
            (f"{label}: world_state_hash / json.loads throughput", f"{loads / hashing:.1f}x"),
            (f"{label}: the same, first call on a fresh str", f"{loads / fresh:.1f}x"),
            (f"{label}: peak memory added by one call", f"{extra / 1e6:.0f} MB = {extra / length:.1f}x the text"),
        ]
    return rows
