"""The `kest` tool signing into a chain file: records appended one `kest sign` call at a time, each
call verifying the chain and forcing its append and seal to disk, next to as many bare start-ups of
the tool; and many payloads signed in one call, next to signing them in memory."""

import os
import pathlib
import subprocess
import sys
import tempfile
import time

# The host package from a source checkout too; an installed one is found first.
sys.path.append(str(pathlib.Path(__file__).resolve().parent.parent))
from kest import jsontext  # noqa: E402
from kest.chain import sign_chain  # noqa: E402

KEY = "bench key"


def payload(n: int) -> str:
    return f'{{"epoch_number":{n},"event_type":"EpochResolved","actions_processed":[],"pcg_steps_consumed":0}}\n'


def timed(commands: list[list[str]], inputs: list[str]) -> float:
    env = dict(os.environ, KEST_KEY=KEY)
    start = time.perf_counter()
    for command, text in zip(commands, inputs, strict=True):
        subprocess.run(command, input=text, env=env, capture_output=True, text=True, check=True)
    return time.perf_counter() - start


def run(quick: bool) -> list[tuple[str, str]]:
    calls, batch = (100, 1_000) if quick else (1_000, 10_000)
    # The console script, as operators run it (`python -m` would add the start-up of runpy).
    script = pathlib.Path(sys.executable).with_name("kest")
    kest = [str(script)] if script.exists() else [sys.executable, "-m", "kest.cli"]
    with tempfile.TemporaryDirectory() as folder:
        chain_file, seal = os.path.join(folder, "chain.jsonl"), os.path.join(folder, "seal.json")
        sign = [*kest, "sign", chain_file, "--seal", seal]
        one_by_one = timed([sign] * calls, [payload(n) for n in range(calls)])
        start_ups = timed([[sys.executable, "-c", "import kest.cli"]] * calls, [""] * calls)
        batch_input = "".join(payload(n) for n in range(batch))
        in_one_call = timed([[*kest, "sign", os.path.join(folder, "batch.jsonl"), "--seal", seal]], [batch_input])
        start = time.perf_counter()
        sign_chain(KEY, [jsontext.loads(payload(n)) for n in range(batch)])
        in_memory = time.perf_counter() - start
    return [
        (f"{calls:,} records, one kest sign call each (s)", f"{one_by_one:.1f}"),
        (f"  per call / start-up of the tool alone (x{calls:,})", f"{one_by_one / start_ups:.2f}"),
        (f"{batch:,} payloads in one kest sign call (s)", f"{in_one_call:.2f}"),
        ("  / signing them in memory", f"{in_one_call / in_memory:.2f}"),
    ]
