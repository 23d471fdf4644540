"""The sync test passes a deterministic host, catches each kind of non-deterministic one at its
first frame, and `kest diff`, `kest diff-chains` and `kest synctest` exit as documented."""

import dataclasses
import json
import os
import pathlib
import subprocess
import sys

import pytest
import synctest_hosts

import kest_engine_native as k
from kest import chain, synctest, world

HERE = pathlib.Path(__file__).resolve().parent
RULESET = world.default_ruleset()


def session_document(frames: int = 6, state: dict | None = None, **members) -> dict:
    commands = {str(f): synctest_hosts.steady(f, json.dumps(synctest_hosts.world())) for f in range(1, frames + 1)}
    document = {"worldId": "w", "state": state or synctest_hosts.world(), "ruleset": RULESET}
    return document | {"playerEntities": {"p1": "hero"}, "commandsByFrame": commands} | members


def run(document: dict, frames: int = 6, distance: int = 4, timeline=synctest.FRAMES, **options):
    session = synctest.parse_session(document, timeline)
    return synctest.run(session, frames, distance, document_text=json.dumps(document), say=lambda line: None, **options)


@pytest.mark.parametrize(("distance", "ranges"), [(1, 6), (4, 2), (6, 1), (4096, 1)])
def test_a_deterministic_session_passes_every_range(distance, ranges):
    outcome = run(session_document(), distance=distance)
    assert outcome.mismatch is None
    assert len(outcome.lines) == ranges and len(outcome.hashes) == 6


def test_epochs_pass_with_catch_up_as_the_rollback():
    proposals = {str(e): {"hero": {"actionId": "strike", "targetId": f"m{e}"}} for e in range(1, 6)}
    document = {"worldId": "w", "state": synctest_hosts.world(), "ruleset": RULESET, "proposalsByEpoch": proposals}
    document["actorTags"] = ["hero"]
    outcome = run(document, frames=5, distance=2, timeline=synctest.EPOCHS)
    assert (outcome.mismatch, len(outcome.lines)) == (None, 3)


def tampered_rollback(text: str) -> str:
    output = json.loads(k.reconcile_frames(text))
    output["state"]["entities"]["m3"]["properties"]["hp"] += 1
    return json.dumps(output, separators=(",", ":"), sort_keys=True)


@pytest.mark.parametrize(
    ("options", "document", "expected"),
    [
        ({"host": "synctest_hosts:drifting"}, session_document(), (1, "tick again")),
        ({"host": "synctest_hosts:set_ordered", "child": True}, session_document(), (1, "hash seed")),
        ({}, session_document(state={"entities": {}, "luck": 0.5}), (0, "canonical form")),
        (
            {"timeline": dataclasses.replace(synctest.FRAMES, rollback=tampered_rollback)},
            session_document(),
            (4, "rollback"),
        ),
    ],
)
def test_a_non_deterministic_host_is_caught_at_its_first_frame(options, document, expected):
    mismatch = run(document, **options).mismatch
    assert (mismatch.number, mismatch.check) == expected
    if expected[1] != "canonical form":
        assert any("/properties/hp" in str(finding) for finding in mismatch.findings)


def kest(*args: str, stdin: str | None = None) -> subprocess.CompletedProcess:
    env = dict(os.environ, KEST_KEY="forensics key", PYTHONHASHSEED="7")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [env.get("PYTHONPATH"), str(HERE.parent), str(HERE)]))
    command = [sys.executable, "-m", "kest.cli", *args]
    return subprocess.run(command, input=stdin, capture_output=True, text=True, env=env, timeout=120, check=False)


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, str]:
    folder = tmp_path_factory.mktemp("forensics")
    state = synctest_hosts.world()
    hurt = json.loads(json.dumps(state))
    hurt["entities"]["m1"]["properties"]["hp"] = 1
    records = chain.sign_chain("forensics key", [{"n": n} for n in range(3)])
    texts = {
        "state": json.dumps(state),
        "reordered": json.dumps(dict(reversed(state.items())), indent=2),
        "hurt": json.dumps(hurt),
        "list": "[1]",
        "broken": '{"entities": ',
        "chain": chain.chain_lines(records),
        "forked": chain.chain_lines(chain.sign_chain("forensics key", [{"n": 0}, {"n": 9}])),
        "torn": chain.chain_lines(records)[:-20],
        "session": json.dumps(session_document()),
        "floaty": json.dumps(session_document(state={"entities": {}, "luck": 0.5})),
    }
    for name, text in texts.items():
        (folder / name).write_text(text)
    return {name: str(folder / name) for name in texts}


@pytest.mark.parametrize(
    ("args", "status", "told"),
    [
        (["diff", "state", "reordered"], 0, "world_state_hash"),
        (["diff", "state", "hurt"], 1, "property changed /entities/m1/properties/hp: 40 -> 1"),
        (["diff", "state", "broken"], 2, "not JSON"),
        (["diff", "state", "list"], 2, "is not a world state"),
        (["diff", "-", "-"], 2, "standard input"),
        (["diff-chains", "chain", "chain"], 0, "the chains agree: 3 records"),
        (["diff-chains", "chain", "forked"], 1, "first divergence at seq 1"),
        (["diff-chains", "chain", "torn"], 2, "line 3"),
        (["synctest", "session", "--check-distance", "3", "--child"], 0, "PYTHONHASHSEED 8 alike"),
        (["synctest", "session", "--host", "synctest_hosts:set_ordered", "--child"], 1, "MISMATCH at frame 1"),
        (["synctest", "floaty", "--frames", "2"], 1, "NonIntegerNumber"),
        (["synctest", "broken"], 1, "not JSON"),
        (["synctest", "list"], 1, "must be a JSON object"),
        (["synctest", "session", "--check-distance", "4097"], 2, "from 1 to 4096"),
        (["synctest", "session", "--check-distance", "0"], 2, "from 1 to 4096"),
        (["synctest", "session", "--frames", "x"], 2, "positive integer"),
    ],
)
def test_exit_status_and_one_line_of_trouble(files, args, status, told):
    done = kest(*[files.get(arg, arg) for arg in args], stdin="{}")
    assert done.returncode == status
    assert told in done.stdout + done.stderr
    assert "Traceback" not in done.stderr
    # One line of trouble, after the usage summary that goes with a usage error.
    assert len([line for line in done.stderr.splitlines() if not line.startswith(("usage:", " "))]) <= 1
