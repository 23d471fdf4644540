"""kest: the operator's command-line tool for stored engine data.

The HMAC key is read from the file named by --key-file (one trailing line break is not part of
the key) or from the environment variable KEST_KEY; never from the command line, where other
users of the machine could read it. A FILE argument of "-" reads standard input.

Exit status: 0 on success, 1 when the engine refuses the input or a chain has findings, 2 on a
usage error. Errors are printed to standard error as the engine words them. A command whose
reader goes away ends by SIGPIPE, silently.
"""

import argparse
import contextlib
import os
import signal
import sys

import kest_engine_native as k
from kest import bundles, chain, chainfile, durable, forensics_commands, jsontext
from kest.command_io import (
    KEY_VARIABLE,
    Parser,
    engine,
    load_key,
    parse_chain,
    parse_json,
    read_json,
    read_text,
    text_key,
)
from kest.errors import Refused, refusing

DEFAULT_MAX_CATCHUP = 64
REPAIR_SHOWN = 60  # bytes of a dropped line shown to the operator


def cmd_hash(args) -> int:
    print(engine(k.world_state_hash, text_key(args), read_text(args.state)))
    return 0


def payloads(args) -> list:
    """The payloads to sign: one per input line, or the chosen member of each line (a list there
    gives one payload per element)."""
    found = []
    for number, line in enumerate(jsontext.lines(read_text(args.payloads)), start=1):
        if not line.strip():
            continue
        value = parse_json(f"{args.payloads}: line {number}", line)
        if args.member is not None:
            if not isinstance(value, dict) or args.member not in value:
                raise Refused(f"{args.payloads}: line {number}: no member {args.member!r}")
            value = value[args.member]
            if isinstance(value, list):
                found.extend(value)
                continue
        found.append(value)
    return found


def report(findings: list[chain.Finding], out) -> None:
    for finding in findings:
        print(finding, file=out)


@contextlib.contextmanager
def file_operation(doing: str):
    """Refuses a failing file operation in the block as "{doing}: {reason}"."""
    try:
        yield
    except OSError as failure:
        raise Refused(f"{doing}: {failure.strerror or failure}") from None


def read_chain_file(data: bytes, path: str) -> tuple[list[dict], chainfile.Torn | None]:
    """The records of a chain file's bytes and its torn last line, if any."""
    try:
        text, torn = chainfile.split_torn(data)
    except UnicodeDecodeError as failure:
        raise Refused(f"cannot read {path}: {failure}") from None
    return parse_chain(path, text), torn


def write_seal(key: bytes, records: list[dict], genesis: str, path: str) -> None:
    chain_seal = chain.seal(key, len(records), chain.head(records, genesis))
    with file_operation(f"cannot write {path}"):
        durable.write_text(path, jsontext.dumps(chain_seal) + "\n")


def cmd_sign(args) -> int:
    key = load_key(args)
    # Read before the lock is taken: a slow writer of the payloads must not hold up other signers.
    signing = payloads(args)
    with file_operation(f"cannot extend {args.chain}"), chainfile.hold(args.chain, writable=True, create=True) as held:
        existing = held.read()
        records, torn = read_chain_file(existing, args.chain)
        if torn is not None:
            raise Refused(f"{args.chain}: {torn}")
        findings = chain.verify(key, records, args.genesis)
        if findings:
            report(findings, sys.stderr)
            raise Refused(f"{args.chain}: refusing to extend a chain that does not verify")
        with refusing():
            new = chain.extend(key, records, signing, args.genesis, args.type)
        # A last record written by hand may lack its line break.
        separator = "\n" if existing and not existing.endswith(b"\n") else ""
        held.append((separator + chain.chain_lines(new)).encode())
        if args.seal is not None:
            try:
                write_seal(key, records + new, args.genesis, args.seal)
            except BaseException:
                held.cut(len(existing))  # all or nothing: no records the seal does not cover
                raise
    # Only records that are on disk, and sealed, are reported as written.
    for record in new:
        print(f"seq {record['seq']} {record['type']} {record['sig']}")
    return 0


def read_seal(path: str) -> dict:
    value = read_json(path)
    with refusing(f"{path}: "):
        return chain.parse_seal(value)


def cmd_verify(args) -> int:
    key = load_key(args)
    if args.chain == "-":
        data = sys.stdin.buffer.read()
    else:
        with file_operation(f"cannot read {args.chain}"), chainfile.hold(args.chain, writable=False) as held:
            data = held.read()
    records, torn = read_chain_file(data, args.chain)
    chain_seal = read_seal(args.seal) if args.seal is not None else None
    findings = chain.verify(key, records, args.genesis, chain_seal)
    report(findings, sys.stdout)
    if torn is not None:
        print(torn)
    faults = len(findings) + (torn is not None)
    if faults:
        print(f"{len(records)} records, {faults} finding{'' if faults == 1 else 's'}")
        return 1
    checked = "every signature and link" + (" and the seal" if chain_seal is not None else "")
    print(f"{len(records)} records: {checked} hold")
    return 0


def read_seal_if_any(path: str) -> dict | None:
    """The seal at `path`, or None when there is no such file."""
    return read_seal(path) if os.path.lexists(path) else None


def cmd_repair(args) -> int:
    key = load_key(args)
    with file_operation(f"cannot repair {args.chain}"), chainfile.hold(args.chain, writable=True) as held:
        records, torn = read_chain_file(held.read(), args.chain)
        findings = chain.verify(key, records, args.genesis)
        if findings:
            report(findings, sys.stderr)
            raise Refused(f"{args.chain}: not repaired: damage other than a torn last line")
        old_seal = read_seal_if_any(args.seal) if args.seal is not None else None
        if old_seal is not None and not chain.seals_a_prefix(key, records, old_seal, args.genesis):
            raise Refused(f"{args.seal}: not repaired: the seal is not one over the first records of the chain")
        if torn is not None:
            held.cut(torn.start)
            shown = torn.data[:REPAIR_SHOWN].decode(errors="replace")
            print(f"dropped line {torn.line}, {len(torn.data)} bytes without a line break: {shown!r}")
        if args.seal is not None and (old_seal is None or old_seal["count"] != len(records)):
            write_seal(key, records, args.genesis, args.seal)
            print(f"sealed {len(records)} records in {args.seal}")
        elif torn is None:
            print(f"{len(records)} records: nothing to repair")
    return 0


def cmd_resume(args) -> int:
    key = text_key(args)
    options = {
        "ruleset": read_json(args.ruleset) if args.ruleset else None,
        "proposalsByEpoch": read_json(args.proposals) if args.proposals else None,
        "actorTags": args.actor_tag,
        "maxActions": args.max_actions,
        "expectedWorldId": args.expected_world_id,
    }
    text = bundles.resume_input(key, read_json(args.bundle), args.current_epoch, args.max_catchup, **options)
    print(engine(k.resume_session, text))
    return 0


def whole_input(function):
    def run(args) -> int:
        print(engine(function, read_text(args.input)))
        return 0

    return run


def key_options() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    parent.add_argument(
        "--key-file",
        metavar="FILE",
        help=f"file holding the HMAC key (default: the environment variable {KEY_VARIABLE})",
    )
    return parent


def parser() -> argparse.ArgumentParser:
    top = Parser(prog="kest", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    keyed = [key_options()]

    hash_ = commands.add_parser("hash", parents=keyed, help="keyed hash of a world state (world_state_hash)")
    hash_.add_argument("state", metavar="STATE.json")
    hash_.set_defaults(run=cmd_hash)

    sign = commands.add_parser("sign", parents=keyed, help="sign payloads into records appended to a JSON-lines chain")
    sign.description = (
        "Sign each payload (one JSON value per line) as the next record of the chain and append it. "
        "The chain is verified first; a chain with findings is not extended."
    )
    sign.add_argument("chain", metavar="CHAIN.jsonl", help="the chain; created when missing")
    sign.add_argument("payloads", metavar="PAYLOADS", nargs="?", default="-", help="JSON lines (default: stdin)")
    sign.add_argument("--type", default=chain.EVENT_TYPE, help="the records' type (default: %(default)s)")
    sign.add_argument(
        "--member", metavar="NAME", help="sign the member NAME of each line, e.g. event (of tick-epoch output)"
    )
    sign.add_argument("--genesis", default=chain.GENESIS, help="the first record's prevSig (default: %(default)s)")
    sign.add_argument("--seal", metavar="FILE", help="also write the seal over the whole chain to FILE")
    sign.set_defaults(run=cmd_sign)

    verify = commands.add_parser("verify", parents=keyed, help="report every bad signature, broken link and seal fault")
    verify.add_argument("chain", metavar="CHAIN.jsonl")
    verify.add_argument("--genesis", default=chain.GENESIS, help="the first record's prevSig (default: %(default)s)")
    verify.add_argument("--seal", metavar="FILE", help="a seal {count, head, sig} over the whole chain")
    verify.set_defaults(run=cmd_verify)

    repair = commands.add_parser("repair", parents=keyed, help="drop the torn last line a crash left in a chain")
    repair.description = (
        "Drop a torn last line (no line break, not JSON: a write cut short) after verifying every record "
        "before it, and seal what remains. Any other damage is refused: it is tampering, not a crash."
    )
    repair.add_argument("chain", metavar="CHAIN.jsonl")
    repair.add_argument("--genesis", default=chain.GENESIS, help="the first record's prevSig (default: %(default)s)")
    repair.add_argument(
        "--seal", metavar="FILE", help="the chain's seal: checked to cover the first records, then rewritten over all"
    )
    repair.set_defaults(run=cmd_repair)

    resume = commands.add_parser("resume", parents=keyed, help="verify a suspended bundle, replay it and catch up")
    resume.add_argument("bundle", metavar="BUNDLE.json")
    resume.add_argument("--current-epoch", type=int, required=True, metavar="N")
    resume.add_argument(
        "--max-catchup", type=int, default=DEFAULT_MAX_CATCHUP, metavar="N", help="default: %(default)s"
    )
    resume.add_argument("--ruleset", metavar="FILE", help="the ruleset document for the missed epochs")
    resume.add_argument("--proposals", metavar="FILE", help="proposals by epoch number")
    resume.add_argument("--actor-tag", action="append", metavar="TAG", help="an actor tag (repeatable)")
    resume.add_argument("--max-actions", type=int, metavar="N")
    resume.add_argument("--expected-world-id", metavar="ID")
    resume.set_defaults(run=cmd_resume)

    for name, function, what in [
        ("tick-epoch", k.tick_epoch, "resolve one offline epoch"),
        ("catch-up", k.catch_up_epochs, "resolve the epochs a world missed"),
        ("tick-frame", k.tick_frame, "resolve one real-time frame"),
        ("reconcile", k.reconcile_frames, "replay frames from a corrected state"),
    ]:
        command = commands.add_parser(name, help=f"{what} ({function.__name__})")
        command.description = f"{what.capitalize()}: the input document in, the output document out, as compact JSON."
        command.add_argument("input", metavar="INPUT.json")
        command.set_defaults(run=whole_input(function))

    forensics_commands.add_commands(commands, keyed)
    add_host_commands(commands)
    return top


def host_command(name: str):
    """Runs the host's command `name`, loading the server (and its extra) only now."""

    def run(args) -> int:
        try:
            from kest.server import commands
        except ImportError as missing:
            raise Refused(f'the host needs its extra: pip install "kest-engine-native[host]" ({missing})') from None
        return getattr(commands, name)(args)

    return run


def add_host_commands(commands) -> None:
    def data_options(command) -> None:
        command.add_argument(
            "--data", default="kest-data", metavar="DIR", help="the host's folder (default: %(default)s)"
        )
        command.add_argument("--db", metavar="URL", help="the database (default: DIR/host.db)")

    serve = commands.add_parser("serve", help="run the host: worlds, their clock, their history and the HTTP API")
    data_options(serve)
    serve.add_argument("--host", default="127.0.0.1", metavar="H", help="address to listen on (default: %(default)s)")
    serve.add_argument("--port", type=int, default=8080, metavar="N", help="port (default: %(default)s)")
    serve.add_argument(
        "--body-limit", type=int, default=1 << 20, metavar="BYTES", help="largest request body (default: %(default)s)"
    )
    serve.add_argument(
        "--idle-seconds",
        type=float,
        default=300.0,
        metavar="S",
        help="suspend a world nobody used for this long (default: %(default)s)",
    )
    serve.add_argument(
        "--room-rate",
        type=int,
        default=20,
        metavar="HZ",
        help="frames a second of a real-time room whose game master set none, 1 to 60 (default: %(default)s)",
    )
    serve.add_argument(
        "--lease-seconds",
        type=float,
        default=10.0,
        metavar="S",
        help="with several processes on one PostgreSQL database: how long one owns a world without renewing, "
        "and so how soon another takes over when it dies (default: %(default)s)",
    )
    serve.set_defaults(run=host_command("cmd_serve"))

    token = commands.add_parser("token", help="issue a host token")
    data_options(token)
    token.add_argument("--role", required=True, choices=["operator", "gm", "player", "spectator"])
    token.add_argument("--world", metavar="W", help="the world (every role but operator)")
    token.add_argument("--entity", metavar="ID", help="the player's entity")
    token.set_defaults(run=host_command("cmd_token"))

    export = commands.add_parser("export", help="write a hosted world's chain and seal for `kest verify`")
    data_options(export)
    export.add_argument("world", metavar="WORLD")
    export.add_argument("--chain", required=True, metavar="FILE")
    export.add_argument("--seal", required=True, metavar="FILE")
    export.add_argument(
        "--prune", action="store_true", help="archive the records before the latest snapshot and prune them"
    )
    export.set_defaults(run=host_command("cmd_export"))


def main(argv: list[str] | None = None) -> int:
    # A reader that goes away (`kest ... | head`) ends the command quietly, as it ends other tools,
    # instead of with an error on standard error.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except (Refused, OSError) as failure:  # OSError: a chain or seal file that cannot be written
        print(failure, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
