"""The campaign demo, run as `make demo` runs it: what it tells and the files it leaves behind."""

import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

import kest_engine_native as k
from kest import account, bundles, chain, demo

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_demo(out: pathlib.Path) -> tuple[str, float]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [env.get("PYTHONPATH"), str(ROOT)]))
    start = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-m", "kest.demo", "--out", str(out)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
        check=True,
    )
    assert done.stderr == ""
    return done.stdout, time.perf_counter() - start


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo") / "output"
    stdout, seconds = run_demo(out)
    return out, stdout, seconds


def test_it_finishes_in_seconds_and_tells_what_happened(demo_run):
    _, stdout, seconds = demo_run
    assert seconds < 20
    for told in [
        "evaluate_action",
        "equals the live world's",
        "3 missed epochs resolved with the standing orders, 1 voided",
        "world-session: chain tamper detected in tail",
        "world-session: chain tail head does not match the seal",
        "world-session: corrupted snapshot (state hash mismatch)",
        "world-session: bundle binding invalid",
        "BadSignature: EpochResolved seq 2",
        "equals the server's",
        "a child interpreter with PYTHONHASHSEED",
        "every check holds",
        "MISMATCH at frame 1 (hash seed): PYTHONHASHSEED 1 and 2 reach other states",
    ]:
        assert told in stdout
    assert "DIFFERS" not in stdout
    assert "RESUMED" not in stdout


def test_the_chain_verifies_with_its_seal(demo_run):
    out, _, _ = demo_run
    records = chain.read_chain((out / "chain.jsonl").read_text())
    chain_seal = chain.parse_seal(json.loads((out / "chain-seal.json").read_text()))
    assert chain.verify(demo.KEY, records, chain.GENESIS, chain_seal) == []
    assert [record["payload"]["epoch_number"] for record in records] == list(range(1, 8))


def test_the_bundle_resumes_to_the_caught_up_world_the_frames_start_from(demo_run):
    out, _, _ = demo_run
    bundle = json.loads((out / "bundle.json").read_text())
    resumed = json.loads(k.resume_session(bundles.resume_input(demo.KEY, bundle, demo.LIVE_EPOCHS, 0)))
    assert resumed["state"]["epoch"] == demo.LIVE_EPOCHS
    final_state = json.loads((out / "final-state.json").read_text())
    assert (final_state["epoch"], final_state["frame"]) == (7, demo.FRAMES)


def test_the_final_state_hash_is_the_servers(demo_run):
    out, stdout, _ = demo_run
    digest = k.world_state_hash(demo.KEY, (out / "final-state.json").read_text())
    assert f"server frame {demo.FRAMES} hash {digest[:10]}" in stdout


def test_two_runs_write_the_same_files(demo_run, tmp_path):
    out, stdout, _ = demo_run
    again, _ = run_demo(tmp_path)
    assert again.replace(str(tmp_path), "OUT") == stdout.replace(str(out), "OUT")
    for name in ["chain.jsonl", "chain-seal.json", "bundle.json", "final-state.json"]:
        assert (tmp_path / name).read_bytes() == (out / name).read_bytes()


@pytest.mark.parametrize(
    ("mutations", "line"),
    [
        (
            [
                {"op": "sub_prop", "target": "g", "property": "hp", "previous": 9, "next": 2},
                {"op": "add_prop", "target": "g", "property": "hp", "previous": 2, "next": 5},
                {"op": "add_tag", "target": "g", "tag": "down"},
                {"op": "remove_tag", "target": "h", "tag": "x"},
                {"op": "set_prop", "target": "g", "property": "hp", "previous": 5, "next": 0},
            ],
            "g hp 9->2->5 +down hp 5->0; h -x",
        ),
        # Records of operations this engine does not apply read as the property write they carry.
        ([{"op": "teleport", "target": "g", "property": "zone", "next": 4}], "g zone ?->4"),
        ([{"op": 7, "target": "g", "property": "hp", "previous": 1, "next": None}], "g hp 1->None"),
        ([{"target": "g", "property": "hp", "previous": 1, "next": 3}], "g hp 1->3"),
    ],
)
def test_account_lines_show_each_recorded_change(mutations, line):
    assert account.changes(mutations) == line
