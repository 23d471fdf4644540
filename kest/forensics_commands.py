"""The `kest diff`, `kest diff-chains` and `kest synctest` commands: what to look at when two
hashes disagree.

`kest diff` and `kest diff-chains` exit 0 when the two sides agree, 1 when they differ and 2 on
any trouble (a usage error, a file that is not JSON, a state or chain of the wrong shape), the way
`diff` does. `kest synctest` exits 0 when every check holds, 1 at the first mismatch or when the
engine refuses the session, and 2 on a usage error.
"""

import argparse
import os
import sys

import kest_engine_native as k
from kest.command_io import KEY_VARIABLE, parse_chain, parse_json, read_text, text_key
from kest.errors import Refused, refusing

# forensics and synctest are imported by the commands that run them: every kest command builds
# this parser, and a signer, which starts once per record, must not pay for their imports.

TROUBLE = 2


def _one_stdin(paths: list[str]) -> None:
    if paths.count("-") > 1:
        raise Refused("only one side can be read from standard input")


def _print_hash(key: str, label: str, text: str) -> None:
    try:
        print(f"{label} world_state_hash {k.world_state_hash(key, text)}")
    except ValueError as failure:
        print(f"{label} has no world_state_hash: {failure}")


def cmd_diff(args) -> int:
    from kest import forensics

    _one_stdin([args.a, args.b])
    texts = read_text(args.a), read_text(args.b)
    a, b = parse_json(args.a, texts[0]), parse_json(args.b, texts[1])
    with refusing():
        findings = forensics.diff_states(a, b, args.a, args.b)
    if args.key_file is not None or KEY_VARIABLE in os.environ:
        key = text_key(args)
        _print_hash(key, args.a, texts[0])
        _print_hash(key, args.b, texts[1])
    for finding in findings:
        print(finding)
    return 1 if findings else 0


def cmd_diff_chains(args) -> int:
    from kest import forensics

    _one_stdin([args.a, args.b])
    first, second = parse_chain(args.a, read_text(args.a)), parse_chain(args.b, read_text(args.b))
    with refusing():
        divergence = forensics.first_divergence(first, second)
    if divergence is None:
        print(f"the chains agree: {len(first)} records")
        return 0
    print("\n".join(divergence.lines()))
    return 1


def check_distance(text: str) -> int:
    from kest import synctest

    try:
        distance = int(text)
    except ValueError:
        distance = 0
    if not 1 <= distance <= synctest.MAX_CHECK_DISTANCE:
        raise argparse.ArgumentTypeError(f"must be an integer from 1 to {synctest.MAX_CHECK_DISTANCE}: {text!r}")
    return distance


def positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer: {text!r}")
    return int(text)


def cmd_synctest(args) -> int:
    from kest import synctest

    timeline = synctest.EPOCHS if args.epochs else synctest.FRAMES
    text = read_text(args.session)
    document = parse_json(args.session, text)
    with refusing(f"{args.session}: "):
        session = synctest.parse_session(document, timeline)
    count = args.count
    if count is None:
        last = session.last_with_items()
        if last is None:
            raise Refused(f"{args.session}: no {timeline.unit} after the start holds items; give --frames M")
        count = last - session.start
    distance = args.check_distance or synctest.DEFAULT_CHECK_DISTANCE
    with refusing():
        outcome = synctest.run(session, count, distance, args.host, args.child, text)
    if outcome.mismatch is not None:
        print("\n".join(synctest.mismatch_lines(outcome.mismatch, timeline.unit)))
        return 1
    print(f"{count} {timeline.unit}s: every check holds")
    return 0


def _guarded(command, trouble: int):
    """Runs a command, turning any refusal into one line on standard error."""

    def run(args) -> int:
        try:
            return command(args)
        except (Refused, OSError) as failure:
            print(failure, file=sys.stderr)
            return trouble

    return run


def add_commands(commands, keyed: list[argparse.ArgumentParser]) -> None:
    """Registers the three commands on the `kest` parser's subcommands."""
    diff = commands.add_parser("diff", parents=keyed, help="what differs between two world states")
    diff.description = (
        "Print the differences of two world states, one a line: entities added or removed, properties "
        "changed, tags added or removed, any other member by its path. With a key, also each state's "
        "world_state_hash. Exit status 0 when equal, 1 when they differ, 2 on trouble."
    )
    diff.add_argument("a", metavar="A.json", help='a state ("-": standard input)')
    diff.add_argument("b", metavar="B.json")
    diff.set_defaults(run=_guarded(cmd_diff, TROUBLE))

    chains = commands.add_parser("diff-chains", help="the first record at which two chains differ")
    chains.description = "Print the first seq at which two JSON-lines chains differ and how. Exit status 0, 1 or 2."
    chains.add_argument("a", metavar="A.jsonl")
    chains.add_argument("b", metavar="B.jsonl")
    chains.set_defaults(run=_guarded(cmd_diff_chains, TROUBLE))

    sync = commands.add_parser("synctest", help="replay a session through rollbacks to catch a non-deterministic host")
    sync.description = (
        "Tick a session one frame (or epoch) at a time. At every frame, ask the host again and tick again "
        "when its answer differs: the same bytes must come out. At the end of every range of N frames, roll "
        "back N frames and replay: every event and the state must come out again. With --child, run the "
        "session again in a child interpreter with another PYTHONHASHSEED: every frame's state must match. "
        "One line per checked range; at the first mismatch, the frame, the check and the differences, and "
        "exit status 1."
    )
    sync.add_argument(
        "session",
        metavar="SESSION.json",
        help='the tick_frame input members plus "commandsByFrame" (with --epochs: the tick_epoch members '
        'plus "proposalsByEpoch")',
    )
    sync.add_argument(
        "--check-distance",
        type=check_distance,
        metavar="N",
        help="roll back N frames at the end of every range of N (1 to 4096, default: 8)",
    )
    sync.add_argument(
        "--frames",
        dest="count",
        type=positive,
        metavar="M",
        help="how many frames (or epochs) to tick (default: through the last one that has commands)",
    )
    sync.add_argument("--epochs", action="store_true", help="tick epochs, roll back with catch_up_epochs")
    sync.add_argument("--child", action="store_true", help="also compare with a child interpreter's run")
    sync.add_argument("--host", metavar="MODULE:NAME", help="a host function(number, state_text) giving the commands")
    sync.set_defaults(run=_guarded(cmd_synctest, 1))
