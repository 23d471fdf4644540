"""Sync test: run a session frame by frame (or epoch by epoch) and catch a host that is not
deterministic while it is still in development.

At every frame it checks that (a) the host, asked again for the frame's commands, gives commands
that tick to the same output bytes; (b) at the end of every range of N frames, a rollback
(`reconcile_frames`, or `catch_up_epochs` for epochs) from the state N frames back replays the
same event for every frame of the range and reaches the same state; and (c) optionally, the same
run in a child interpreter with another PYTHONHASHSEED reaches the same state at every frame.
Checking a range with one rollback costs one replay of its frames, not one per frame.

The host is whatever chooses each frame's commands: the "commandsByFrame" member of the session
document, or a function `module:name` called as `function(number, state_text)` (the state before
the frame, as JSON text). States travel as the engine's own JSON text from tick to tick and are
parsed only to show a mismatch, so a check costs a few engine calls and no Python JSON work on
the world.

    python -m kest.synctest SESSION.json --count M [--epochs] [--host module:name] [--state-at N]

runs the forward pass only and prints its hash list (or the state after frame N) as JSON: the
child interpreter of check (c).
"""

import argparse
import hashlib
import importlib
import json
import os
import pathlib
import re
import subprocess
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import kest_engine_native as k
from kest import forensics, jsontext
from kest.errors import Refused, refusing

MAX_CHECK_DISTANCE = 4096  # the engine's rollback window
DEFAULT_CHECK_DISTANCE = 8
CANONICAL_CHECK_KEY = "kest synctest"  # any key tells whether a state has a canonical form
_STATE_MEMBER = '"state":'  # the first key "state" in every output document is the world state
_DECIMAL = re.compile(r"-?(0|[1-9][0-9]*)")

Host = Callable[[int, str], object]


@dataclass(frozen=True)
class Timeline:
    """What differs between frames and epochs: the member names, the tick and the rollback."""

    unit: str
    counter: str  # the state member holding the last number resolved
    number_member: str  # of the tick input
    items_member: str  # the commands or proposals of one tick
    items_by_number: str
    rule_members: tuple[str, ...]
    tick: Callable[[str], str]
    rollback: Callable[[str], str]

    def rollback_input(self, fixed: str, start_state: str, start: int, end: int, items: str) -> str:
        if self.unit == "frame":
            members = f'"toFrame":{end},"commandsByFrame":{items},"correctedState":{start_state}'
        else:
            members = f'"currentEpoch":{end},"maxCatchup":{end - start},"proposalsByEpoch":{items}'
            members += f',"state":{start_state}'
        return "{" + fixed + members + "}"


FRAMES = Timeline(
    "frame",
    "frame",
    "frameNumber",
    "commands",
    "commandsByFrame",
    ("ruleset", "playerEntities", "maxCommandsPerPlayer", "maxCommands"),
    k.tick_frame,
    k.reconcile_frames,
)
EPOCHS = Timeline(
    "epoch",
    "epoch",
    "epochNumber",
    "proposals",
    "proposalsByEpoch",
    ("ruleset", "actorTags", "maxActions"),
    k.tick_epoch,
    k.catch_up_epochs,
)


@dataclass(frozen=True)
class Session:
    """A parsed session document: the world, where it starts, and its fixed tick members."""

    timeline: Timeline
    start: int
    state_text: str
    fixed: str  # the members every tick and rollback input shares, as JSON text without braces
    items: dict

    def host_from_document(self, number: int, _state_text: str):
        return self.items.get(str(number), [] if self.timeline.unit == "frame" else {})

    def last_with_items(self) -> int | None:
        numbers = [int(name) for name in self.items if _DECIMAL.fullmatch(name)]
        return max((n for n in numbers if n > self.start), default=None)


def parse_session(document, timeline: Timeline) -> Session:
    if type(document) is not dict:
        raise Refused("the session document must be a JSON object")
    state = document.get("state", {})
    forensics.check_state(state, "the session's state")
    start = state.get(timeline.counter, 0)
    if type(start) is not int or (timeline is FRAMES and start < 0):
        kind = "a non-negative integer" if timeline is FRAMES else "an integer"
        raise Refused(f'the state\'s "{timeline.counter}" must be {kind}')
    items = document.get(timeline.items_by_number, {})
    if type(items) is not dict:
        raise Refused(f'"{timeline.items_by_number}" must be an object')
    # A rollback reads the last number resolved from the state, so the starting state names it;
    # a tick overwrites that member, so no later state changes.
    state = state | {timeline.counter: start}
    members = {"worldId": document.get("worldId")} | {
        name: document[name] for name in timeline.rule_members if name in document
    }
    return Session(timeline, start, jsontext.dumps(state), jsontext.dumps(members)[1:-1] + ",", items)


def load_host(reference: str) -> Host:
    """The function named "module:name"."""
    module_name, _, name = reference.partition(":")
    try:
        function = getattr(importlib.import_module(module_name), name)
    except (ImportError, AttributeError, ValueError) as failure:
        raise Refused(f"cannot load the host {reference!r}: {failure}") from None
    if not callable(function):
        raise Refused(f"the host {reference!r} is not callable")
    return function


def state_of(output: str) -> str:
    """The state member of a tick or rollback output document, as the engine wrote it."""
    return output[output.index(_STATE_MEMBER) + len(_STATE_MEMBER) : -1]


def event_of(tick_output: str) -> str:
    return tick_output[len('{"event":') : tick_output.index(',"rejected":')]


def fingerprint(state_text: str) -> str:
    """The SHA-256 of a state as the engine wrote it. The engine writes members in key order and
    numbers one way, so equal states give equal text: a cheap stand-in for the keyed hash."""
    return hashlib.sha256(state_text.encode()).hexdigest()


@dataclass(frozen=True)
class Mismatch:
    """The first failed check: at which number, which check, and the differences it found."""

    number: int
    check: str
    detail: str
    findings: tuple[forensics.Finding, ...] = ()


class Runner:
    """Ticks a session forward; every tick asks the host for its items once."""

    def __init__(self, session: Session, host: Host):
        self.session, self.host = session, host

    def items(self, number: int, state_text: str) -> str:
        """The host's commands (or proposals) for a tick, as JSON text."""
        try:
            return jsontext.dumps(self.host(number, state_text))
        except (TypeError, ValueError) as failure:
            timeline = self.session.timeline
            raise Refused(
                f"{timeline.unit} {number}: the host's {timeline.items_member} are not JSON: {failure}"
            ) from None

    def tick(self, number: int, items: str, state_text: str) -> str:
        timeline = self.session.timeline
        members = f'"{timeline.number_member}":{number},"{timeline.items_member}":{items},"state":{state_text}'
        with refusing():
            return timeline.tick("{" + self.session.fixed + members + "}")

    def state_at(self, number: int) -> str:
        for at, _, _, state_text in self.forward(number - self.session.start):
            if at == number:
                return state_text
        return self.session.state_text

    def forward(self, count: int) -> Iterator[tuple[int, str, str, str]]:
        """(number, items, output, state after) of each tick."""
        state_text = self.session.state_text
        for number in range(self.session.start + 1, self.session.start + count + 1):
            items = self.items(number, state_text)
            output = self.tick(number, items, state_text)
            state_text = state_of(output)
            yield number, items, output, state_text


def canonical_form_mismatch(number: int, state_text: str) -> Mismatch | None:
    """A state without a canonical form (a float, an unsafe integer, a text not in NFC) has no
    keyed hash and cannot be signed into a bundle. Ticks write integers only, so only the starting
    state can bring one in."""
    try:
        k.world_state_hash(CANONICAL_CHECK_KEY, state_text)
    except ValueError as failure:
        return Mismatch(number, "canonical form", f"the state has no hash: {failure}")
    return None


def _state_diff(a: str, b: str) -> list[forensics.Finding]:
    return forensics.diff_states(json.loads(a), json.loads(b))


def _tick_again(runner: Runner, number: int, before: str, items: str, output: str) -> Mismatch | None:
    """Check (a). The engine is a pure function, so an input the host repeats byte for byte is not
    ticked again here: the rollback of check (b) replays every frame anyway."""
    again_items = runner.items(number, before)
    if again_items == items:
        return None
    again = runner.tick(number, again_items, before)
    if again == output:  # the host answered in another order that the engine's ordering undoes
        return None
    name = runner.session.timeline.items_member
    findings = forensics.diff_values(json.loads(items), json.loads(again_items), (name,))
    findings += _state_diff(state_of(output), state_of(again))
    detail = f"asked again, the host gave other {name} and another outcome"
    return Mismatch(number, "tick again", detail, tuple(findings))


@dataclass
class Window:
    """The frames since the last rollback check: its starting state and what each tick gave."""

    start: int
    start_state: str
    items: dict[str, str]
    events: list[str]


def events_of(rollback_output: str) -> str:
    """The "events" array of a `reconcile_frames` or `catch_up_epochs` output document."""
    start = rollback_output.index('"events":') + len('"events":')
    ends = (rollback_output.find(f'],"{member}":', start) for member in ("framesReplayed", "state"))
    return rollback_output[start : min(end for end in ends if end != -1) + 1]


def _rollback(runner: Runner, window: Window, end: int, forward_state: str) -> Mismatch | None:
    """Check (b): the window replayed from its starting state gives its events and its state."""
    timeline = runner.session.timeline
    items = "{" + ",".join(f"{json.dumps(n)}:{text}" for n, text in window.items.items()) + "}"
    text = timeline.rollback_input(runner.session.fixed, window.start_state, window.start, end, items)
    try:
        output = timeline.rollback(text)
    except ValueError as failure:
        return Mismatch(end, "rollback", f"the rollback was refused: {failure}")
    origin = f"the rollback from {timeline.unit} {window.start}"
    replayed = events_of(output)
    if replayed != "[" + ",".join(window.events) + "]":
        replayed_events = json.loads(replayed)
        numbered = enumerate(zip(window.events, replayed_events, strict=False), start=window.start + 1)
        for number, (event, again) in numbered:
            if not forensics.same(json.loads(event), again):
                findings = forensics.diff_values(json.loads(event), again, ("event",))
                return Mismatch(number, "rollback", f"{origin} replayed another event", tuple(findings))
        return Mismatch(end, "rollback", f"{origin} replayed {len(replayed_events)} of {len(window.events)} events")
    state = state_of(output)
    if state != forward_state:
        return Mismatch(
            end, "rollback", f"{origin} reached another state hash", tuple(_state_diff(forward_state, state))
        )
    return None


def child_seed() -> str:
    """A PYTHONHASHSEED other than this interpreter's."""
    own = os.environ.get("PYTHONHASHSEED", "")
    return str((int(own) + 1) % 2**32) if own.isdigit() else "1"


def child_run(
    document_text: str, session: Session, count: int, host: str | None, seed: str, state_at: int | None = None
):
    """The forward pass in a child interpreter with PYTHONHASHSEED `seed`: its hash list, or the
    state after `state_at`, parsed."""
    command = [sys.executable, "-m", "kest.synctest", "-", "--count", str(count)]
    command += ["--epochs"] if session.timeline.unit == "epoch" else []
    command += ["--host", host] if host else []
    command += ["--state-at", str(state_at)] if state_at is not None else []
    env = os.environ | {"PYTHONHASHSEED": seed}
    # The child imports the engine, this package and the host from where this interpreter did.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, sys.path))
    done = subprocess.run(command, input=document_text, capture_output=True, text=True, env=env, check=False)
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no message"])[-1]
        raise Refused(f"the child interpreter failed: {last}")
    return json.loads(done.stdout)


def first_hash_difference(reference: list[str], other: list[str], first: int) -> int | None:
    for number, (mine, theirs) in enumerate(zip(reference, other, strict=False), start=first):
        if mine != theirs:
            return number
    return None if len(reference) == len(other) else first + min(len(reference), len(other))


def seed_mismatch(
    document_text: str,
    session: Session,
    count: int,
    host: str | None,
    seeds: tuple[str, str],
    reference: tuple[list[str], Callable[[int], dict]] | None = None,
) -> Mismatch | None:
    """Check (c): the hash lists of two runs under the two seeds, each in a child interpreter;
    `reference` stands in for the first run when this interpreter made it: its hash list and a
    function giving its state after a number."""
    if reference is None:
        hashes = child_run(document_text, session, count, host, seeds[0])
        reference = hashes, lambda number: child_run(document_text, session, count, host, seeds[0], number)
    other = child_run(document_text, session, count, host, seeds[1])
    number = first_hash_difference(reference[0], other, session.start + 1)
    if number is None:
        return None
    theirs = child_run(document_text, session, count, host, seeds[1], number)
    findings = tuple(forensics.diff_states(reference[1](number), theirs))
    detail = f"PYTHONHASHSEED {seeds[0]} and {seeds[1]} reach other states"
    return Mismatch(number, "hash seed", detail, findings)


@dataclass
class Outcome:
    lines: list[str]
    hashes: list[str]
    mismatch: Mismatch | None


def _checked_forward(runner: Runner, count: int, distance: int, report: Callable[[str], None], hashes: list[str]):
    """Checks (a) and (b) over the forward pass; appends each state's fingerprint to `hashes`."""
    session, unit = runner.session, runner.session.timeline.unit
    mismatch = canonical_form_mismatch(session.start, session.state_text)
    if mismatch is not None:
        return mismatch
    window = Window(session.start, session.state_text, {}, [])
    before = session.state_text
    for number, items, output, after in runner.forward(count):
        mismatch = _tick_again(runner, number, before, items, output)
        if mismatch is not None:
            return mismatch
        hashes.append(fingerprint(after))
        window.items[str(number)] = items
        window.events.append(event_of(output))
        if number - window.start == distance or number == session.start + count:
            mismatch = _rollback(runner, window, number, after)
            if mismatch is not None:
                return mismatch
            report(
                f"{unit}s {window.start + 1}-{number}: asked again alike, rolled back to {unit} {window.start}"
                f" and replayed alike, state {hashes[-1][:12]}"
            )
            window = Window(number, after, {}, [])
        before = after
    return None


def run(
    session: Session,
    count: int,
    distance: int = DEFAULT_CHECK_DISTANCE,
    host: str | None = None,
    child: bool = False,
    document_text: str | None = None,
    say: Callable[[str], None] = print,
) -> Outcome:
    """Ticks `count` numbers forward with every check; `say` gets one line per checked range.
    `host` names a host function ("module:name"), the document's items are used otherwise; the
    child check re-runs `document_text` (the session document as given)."""
    if not 1 <= distance <= MAX_CHECK_DISTANCE:
        raise Refused(f"the check distance must be from 1 to {MAX_CHECK_DISTANCE}")
    runner = Runner(session, load_host(host) if host else session.host_from_document)
    lines, hashes = [], []

    def report(line: str) -> None:
        lines.append(line)
        say(line)

    mismatch = _checked_forward(runner, count, distance, report, hashes)
    if mismatch is None and child:
        seeds = (os.environ.get("PYTHONHASHSEED", "(this interpreter's)"), child_seed())
        reference = hashes, lambda at: json.loads(runner.state_at(at))
        mismatch = seed_mismatch(document_text or "", session, count, host, seeds, reference)
        if mismatch is None:
            first, last, unit = session.start + 1, session.start + count, session.timeline.unit
            report(f"{unit}s {first}-{last}: a child interpreter with PYTHONHASHSEED {seeds[1]} alike")
    return Outcome(lines, hashes, mismatch)


def mismatch_lines(mismatch: Mismatch, unit: str) -> list[str]:
    return [f"MISMATCH at {unit} {mismatch.number} ({mismatch.check}): {mismatch.detail}"] + [
        f"  {finding}" for finding in mismatch.findings
    ]


def main(argv: list[str] | None = None) -> int:
    """The child interpreter's side of check (c)."""
    parser = argparse.ArgumentParser(prog="python -m kest.synctest", description=__doc__)
    parser.add_argument("session", metavar="SESSION.json")
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--epochs", action="store_true")
    parser.add_argument("--host", metavar="MODULE:NAME")
    parser.add_argument("--state-at", type=int, metavar="N")
    args = parser.parse_args(argv)
    text = sys.stdin.read() if args.session == "-" else pathlib.Path(args.session).read_text(encoding="utf-8")
    session = parse_session(jsontext.loads(text), EPOCHS if args.epochs else FRAMES)
    runner = Runner(session, load_host(args.host) if args.host else session.host_from_document)
    if args.state_at is not None:
        print(runner.state_at(args.state_at))
    else:
        print(json.dumps([fingerprint(state_text) for _, _, _, state_text in runner.forward(args.count)]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
