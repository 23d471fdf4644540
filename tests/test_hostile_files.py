"""Every `kest` command against hostile files, run as an operator runs it: each file is refused
with one line on standard error and the documented exit status, never a traceback, and a refused
`kest sign` or `kest repair` leaves the chain and the seal as they were."""

import json
import os
import shutil
import signal

import pytest
from test_cli import KEY, kest

from kest import bundles, chain, cli, world

WORLD_ID, STATE = world.default_world()
RECORDS = chain.sign_chain(KEY, [{"n": n} for n in range(3)])
TROUBLE = {"diff": 2, "diff-chains": 2}  # 1 for every other command

HOSTILE = {
    "nested 50,000 arrays deep": "[" * 50_000 + "]" * 50_000,
    "nested 100,000 objects deep": '{"a":' * 100_000 + "1" + "}" * 100_000,
    "nested beyond the limit after a string of brackets": '{"entities": {}, "x": ["]]]", '
    + "[" * 200
    + "]" * 201
    + "}",
    "a number beyond a double": '{"entities": {}, "x": 1e400}',
    "an integer of 5,000 digits": '{"entities": {}, "x": ' + "9" * 5_000 + "}",
    "NaN": '{"entities": {}, "x": NaN}',
    "a lone surrogate": '{"entities": {}, "x": "\\ud800"}',
    "a NUL byte": '{"entities": {}, "x": "a\x00b"}',
    "a byte-order mark": '\ufeff{"entities": {}}',
    "invalid UTF-8": b'{"entities": {"\xff": {}}}',
    "a 20 MB line": '{"entities": {}, "x": "' + "a" * 20_000_000,
    "a chain with a hostile line in the middle": chain.chain_lines(RECORDS[:1])
    + "[" * 100_000
    + "\n"
    + chain.chain_lines(RECORDS[1:]),
}


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, str]:
    """Each hostile file by its kind, an empty one, and a valid file of each kind a command reads
    besides the hostile one."""
    folder = tmp_path_factory.mktemp("files")
    valid = {
        "CHAIN": chain.chain_lines(RECORDS),
        "SEAL": json.dumps(chain.seal(KEY, len(RECORDS), RECORDS[-1]["sig"])),
        "STATE": json.dumps(STATE),
        "BUNDLE": json.dumps(bundles.suspend(KEY, WORLD_ID, STATE, RECORDS, 0)),
        "PAYLOADS": '{"n": 7}\n',
    }
    paths = {}
    for number, (name, content) in enumerate({**HOSTILE, "empty": "", **valid}.items()):
        paths[name] = folder / str(number)
        data = content if isinstance(content, bytes) else content.encode(errors="surrogatepass")
        # A last line break, so that `kest repair` does not take a hostile file for a torn last
        # line, which it drops.
        paths[name].write_bytes(data + b"\n" if name in HOSTILE else data)
    return {name: str(path) for name, path in paths.items()}


# Each command with every file it reads in turn made hostile (FILE); the other names stand for a
# valid file of their kind.
INVOCATIONS = {
    "hash": [["FILE"]],
    "sign": [["CHAIN", "FILE", "--seal", "SEAL"], ["FILE", "PAYLOADS", "--seal", "SEAL"]],
    "verify": [["FILE"], ["CHAIN", "--seal", "FILE"]],
    "repair": [["FILE", "--seal", "SEAL"], ["CHAIN", "--seal", "FILE"]],
    "resume": [["FILE", "--current-epoch", "8"], ["BUNDLE", "--current-epoch", "8", "--ruleset", "FILE"]],
    "tick-epoch": [["FILE"]],
    "catch-up": [["FILE"]],
    "tick-frame": [["FILE"]],
    "reconcile": [["FILE"]],
    "diff": [["STATE", "FILE"]],
    "diff-chains": [["CHAIN", "FILE"]],
    "synctest": [["FILE"]],
}
WRITERS = {"sign", "repair"}


def test_every_command_is_tried():
    commands = next(action for action in cli.parser()._actions if action.dest == "command")
    assert set(commands.choices) == set(INVOCATIONS)


def run(tmp_path, files, command: str, arguments: list[str], kind: str):
    paths = {name: files[kind if name == "FILE" else name] for name in arguments if name == "FILE" or name in files}
    if command in WRITERS:
        # Copies, compared afterwards with what they held.
        paths = {name: str(shutil.copy(path, tmp_path / name)) for name, path in paths.items()}
    before = {path: open(path, "rb").read() for path in paths.values()}
    done = kest(command, *[paths.get(argument, argument) for argument in arguments])
    after = {path: open(path, "rb").read() for path in paths.values()}
    return done, before, after


@pytest.mark.parametrize("kind", HOSTILE)
@pytest.mark.parametrize(
    ("command", "arguments"),
    [(command, arguments) for command, forms in INVOCATIONS.items() for arguments in forms],
    ids=lambda value: value if isinstance(value, str) else " ".join(value),
)
def test_a_hostile_file_is_refused_in_one_line(tmp_path, files, command, arguments, kind):
    done, before, after = run(tmp_path, files, command, arguments, kind)
    assert "Traceback" not in done.stderr
    assert done.returncode == TROUBLE.get(command, 1), done.stderr
    assert len(done.stderr.splitlines()) == 1 and done.stdout == ""
    assert after == before


@pytest.mark.parametrize(
    ("command", "arguments"),
    [(command, arguments) for command, forms in INVOCATIONS.items() for arguments in forms],
    ids=lambda value: value if isinstance(value, str) else " ".join(value),
)
def test_an_empty_file_is_taken_or_refused_in_one_line(tmp_path, files, command, arguments):
    # Some commands rightly take one: an empty chain verifies, an empty list of payloads signs nothing.
    done, _, _ = run(tmp_path, files, command, arguments, "empty")
    assert "Traceback" not in done.stderr
    if done.stderr:
        assert done.returncode == TROUBLE.get(command, 1)
        assert len(done.stderr.splitlines()) == 1


def test_a_reader_that_goes_away_ends_the_command_quietly(files):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        done = kest("resume", files["BUNDLE"], "--current-epoch", "8", stdout=write_end)
    finally:
        os.close(write_end)
    assert (done.returncode, done.stderr) == (-signal.SIGPIPE, "")
