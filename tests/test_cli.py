"""The kest command-line tool, run as a separate process the way an operator runs it."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import kest_engine_native as k
from kest import bundles, chain, world

ROOT = pathlib.Path(__file__).resolve().parent.parent
KEY = "cli key"
WORLD_ID, STATE = world.default_world()
RULESET = world.default_ruleset()


def kest(
    *args: str, key: str | None = KEY, stdin: str | None = None, stdout=subprocess.PIPE
) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env.pop("KEST_KEY", None)
    if key is not None:
        env["KEST_KEY"] = key
    # The module under test stays whatever PYTHONPATH names; the package comes from this checkout
    # unless an installed one is found first.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [env.get("PYTHONPATH"), str(ROOT)]))
    command = [sys.executable, "-m", "kest.cli", *args]
    return subprocess.run(
        command, input=stdin, stdout=stdout, stderr=subprocess.PIPE, text=True, env=env, timeout=60, check=False
    )


def write(path: pathlib.Path, document) -> str:
    path.write_text(document if isinstance(document, str) else json.dumps(document), encoding="utf-8")
    return str(path)


@pytest.mark.parametrize(
    "command",
    [[], ["hash"], ["sign"], ["verify"], ["resume"], ["tick-epoch"], ["catch-up"], ["tick-frame"], ["reconcile"]],
)
def test_help_everywhere(command):
    done = kest(*command, "--help")
    assert done.returncode == 0
    assert done.stdout.startswith(f"usage: kest {' '.join(command)}".rstrip())


def test_the_key_never_comes_from_the_command_line(tmp_path):
    state = write(tmp_path / "state.json", STATE)
    assert kest("hash", "--key", KEY, state).returncode == 2
    missing = kest("hash", state, key=None)
    assert (missing.returncode, missing.stderr) == (1, "no key: give --key-file FILE or set KEST_KEY\n")


@pytest.mark.parametrize(("file_bytes", "key"), [(b"cli key\n", "cli key"), (b"cli key", "cli key"), (b"a\r\n", "a")])
def test_key_file_without_its_trailing_line_break(tmp_path, file_bytes, key):
    (tmp_path / "key").write_bytes(file_bytes)
    done = kest("hash", "--key-file", str(tmp_path / "key"), write(tmp_path / "state.json", STATE), key=None)
    assert done.stdout == k.world_state_hash(key, json.dumps(STATE)) + "\n"


def test_an_empty_key_is_refused(tmp_path):
    (tmp_path / "key").write_bytes(b"\n")
    done = kest("hash", "--key-file", str(tmp_path / "key"), write(tmp_path / "state.json", STATE), key=None)
    assert (done.returncode, done.stderr) == (1, "the key is empty\n")


def test_hash_of_a_file_and_of_stdin():
    text = json.dumps(STATE, indent=2)
    assert kest("hash", "-", stdin=text).stdout == k.world_state_hash(KEY, text) + "\n"


@pytest.mark.parametrize(
    ("state", "message"),
    [("{", "bad state json: "), ('{"entities": {"a": {"properties": {"hp": 1.5}}}}', "hash: NonIntegerNumber")],
)
def test_hash_failures_print_the_engine_message(tmp_path, state, message):
    done = kest("hash", write(tmp_path / "state.json", state))
    assert done.returncode == 1
    assert done.stderr.startswith(message)


def test_sign_appends_records_and_verify_accepts_them(tmp_path):
    path = tmp_path / "chain.jsonl"
    first = kest("sign", str(path), "--seal", str(tmp_path / "seal.json"), stdin='{"n": 1}\n\n{"n": 2}\n')
    assert first.returncode == 0
    tick = k.tick_epoch(json.dumps({"worldId": WORLD_ID, "epochNumber": 1, "state": STATE}))
    second = kest("sign", str(path), "--member", "event", stdin=tick)
    assert second.returncode == 0
    records = chain.read_chain(path.read_text())
    assert [record["payload"] for record in records] == [{"n": 1}, {"n": 2}, json.loads(tick)["event"]]
    assert [record["seq"] for record in records] == [0, 1, 2]
    assert second.stdout == f"seq 2 EpochResolved {records[2]['sig']}\n"
    assert chain.verify(KEY, records) == []
    done = kest("verify", str(path))
    assert (done.returncode, done.stdout) == (0, "3 records: every signature and link hold\n")
    # The seal written after the first two records no longer covers the longer chain.
    stale = kest("verify", str(path), "--seal", str(tmp_path / "seal.json"))
    assert (stale.returncode, stale.stdout) == (1, "SealMismatch: (seal) seq 2\n3 records, 1 finding\n")


def test_sign_takes_each_element_of_a_list_member(tmp_path):
    path = tmp_path / "chain.jsonl"
    catch_up = k.catch_up_epochs(json.dumps({"worldId": WORLD_ID, "currentEpoch": 2, "maxCatchup": 5}))
    assert kest("sign", str(path), "--member", "events", stdin=catch_up).returncode == 0
    assert [record["payload"]["epoch_number"] for record in chain.read_chain(path.read_text())] == [1, 2]


@pytest.mark.parametrize(
    ("stdin", "message"),
    [
        ('{"n": 0.5}', "non-canonicalizable payload: NonIntegerNumber\n"),
        ('{"n": -0}', "non-canonicalizable payload: NegativeZero\n"),
        ("{", "-: line 1: not JSON: "),
        ('{"event": 1}\n[2]', "-: line 2: no member 'event'\n"),
    ],
)
def test_sign_writes_nothing_when_a_payload_fails(tmp_path, stdin, message):
    path = tmp_path / "chain.jsonl"
    assert kest("sign", str(path), stdin='{"n": 1}').returncode == 0
    before = path.read_text()
    done = kest("sign", str(path), *(["--member", "event"] if "event" in stdin else []), stdin=stdin)
    assert done.returncode == 1
    assert done.stderr.startswith(message)
    assert path.read_text() == before


def test_sign_refuses_to_extend_a_chain_that_does_not_verify(tmp_path):
    path = tmp_path / "chain.jsonl"
    kest("sign", str(path), stdin='{"n": 1}\n{"n": 2}')
    tampered = path.read_text().replace('"n":2', '"n":3')
    path.write_text(tampered)
    done = kest("sign", str(path), stdin='{"n": 4}')
    assert done.returncode == 1
    assert (
        done.stderr == f"BadSignature: EpochResolved seq 1\n{path}: refusing to extend a chain that does not verify\n"
    )
    assert path.read_text() == tampered


def test_verify_reports_every_finding_in_order(tmp_path):
    records = chain.sign_chain(KEY, [{"n": n} for n in range(4)])
    records[1]["payload"] = {"n": 9}
    records[2] = chain.sign(KEY, 2, chain.EVENT_TYPE, {"n": 2}, "0" * 64)  # signed, but linked elsewhere
    records[3]["payload"], records[3]["prevSig"] = {"n": 9}, "x"
    path = write(tmp_path / "chain.jsonl", chain.chain_lines(records))
    seal = write(tmp_path / "seal.json", chain.seal(KEY, 5, records[-1]["sig"]))
    done = kest("verify", path, "--seal", seal)
    assert done.returncode == 1
    assert done.stdout.splitlines() == [
        "BadSignature: EpochResolved seq 1",
        "BrokenLink: EpochResolved seq 2",
        "BadSignature: EpochResolved seq 3",
        "BrokenLink: EpochResolved seq 3",
        "SealMismatch: (seal) seq 5",
        "4 records, 5 findings",
    ]
    # Under another key every signature fails; the two wrong links are still reported.
    assert kest("verify", path, key="another key").stdout.endswith("4 records, 6 findings\n")


@pytest.mark.parametrize(
    ("lines", "seal", "message"),
    [
        ('{"seq": 0}', None, "line 1: record missing type"),
        ('\n{"seq": -1}', None, "line 2: record missing seq"),
        ("", '{"count": 0, "head": "genesis"}', "a seal is an object with"),
    ],
)
def test_verify_refuses_malformed_files(tmp_path, lines, seal, message):
    path = write(tmp_path / "chain.jsonl", lines)
    extra = ["--seal", write(tmp_path / "seal.json", seal)] if seal else []
    done = kest("verify", path, *extra)
    assert done.returncode == 1
    assert message in done.stderr


def test_resume_matches_the_module_and_refuses_tampering(tmp_path):
    records = chain.sign_chain(
        KEY, [json.loads(k.tick_epoch(json.dumps({"worldId": WORLD_ID, "epochNumber": 1})))["event"]]
    )
    bundle = bundles.suspend(KEY, WORLD_ID, STATE, records, 0)
    path = write(tmp_path / "bundle.json", bundle)
    ruleset = write(tmp_path / "ruleset.json", RULESET)
    done = kest("resume", path, "--current-epoch", "3", "--max-catchup", "1", "--ruleset", ruleset)
    expected = k.resume_session(bundles.resume_input(KEY, bundle, 3, 1, ruleset=RULESET))
    assert (done.returncode, done.stdout) == (0, expected + "\n")
    assert json.loads(done.stdout)["epochsVoided"] == 1

    wrong_world = kest("resume", path, "--current-epoch", "3", "--expected-world-id", "elsewhere")
    assert wrong_world.stderr.startswith("world-session: bundle worldId does not match expectedWorldId")
    bundle["chainTail"][0]["payload"]["pcg_steps_consumed"] = 7
    tampered = kest("resume", write(tmp_path / "bundle.json", bundle), "--current-epoch", "3")
    assert (tampered.returncode, tampered.stderr) == (1, "world-session: chain tamper detected in tail\n")


def test_resume_cannot_be_handed_another_key_inside_the_bundle_file(tmp_path):
    bundle = bundles.suspend("attacker key", WORLD_ID, STATE, [], 0)
    smuggled = json.dumps(bundle) + ', "key": "attacker key"'
    done = kest("resume", write(tmp_path / "bundle.json", smuggled), "--current-epoch", "0")
    assert done.returncode == 1
    assert "not JSON" in done.stderr


FRAME = {"worldId": WORLD_ID, "frameNumber": 1, "state": STATE, "ruleset": RULESET, "playerEntities": {"p1": "aria"}}
FRAME["commands"] = [{"playerId": "p1", "seq": 1, "actionId": "strike", "targetId": "ogre"}]


@pytest.mark.parametrize(
    ("command", "function", "document"),
    [
        ("tick-epoch", k.tick_epoch, {"worldId": WORLD_ID, "epochNumber": 1, "state": STATE, "ruleset": RULESET}),
        ("catch-up", k.catch_up_epochs, {"worldId": WORLD_ID, "state": STATE, "currentEpoch": 2, "maxCatchup": 2}),
        ("tick-frame", k.tick_frame, FRAME),
        ("reconcile", k.reconcile_frames, {**FRAME, "correctedState": {**STATE, "frame": 0}, "toFrame": 2}),
    ],
)
def test_whole_input_commands_give_the_module_output(tmp_path, command, function, document):
    text = json.dumps(document)
    done = kest(command, write(tmp_path / "input.json", text), key=None)
    assert (done.returncode, done.stdout, done.stderr) == (0, function(text) + "\n", "")
    refused = kest(command, "-", stdin=json.dumps({**document, "worldId": 5}), key=None)
    assert refused.returncode == 1
    assert refused.stderr.endswith("worldId must be a string\n")


def test_a_missing_file_is_named(tmp_path):
    done = kest("tick-epoch", str(tmp_path / "nowhere.json"))
    assert done.returncode == 1
    assert done.stderr.startswith(f"cannot read {tmp_path / 'nowhere.json'}: ")
