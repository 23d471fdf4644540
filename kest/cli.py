"""kest: the operator's command-line tool for stored engine data.

The HMAC key is read from the file named by --key-file (one trailing line break is not part of
the key) or from the environment variable KEST_KEY; never from the command line, where other
users of the machine could read it. A FILE argument of "-" reads standard input.

Exit status: 0 on success, 1 when the engine refuses the input or a chain has findings, 2 on a
usage error. Errors are printed to standard error as the engine words them.
"""

import argparse
import os
import pathlib
import sys

import kest_engine_native as k
from kest import bundles, chain, jsontext

KEY_VARIABLE = "KEST_KEY"
DEFAULT_MAX_CATCHUP = 64


class Parser(argparse.ArgumentParser):
    """No abbreviated options: "--key" must not pass for "--key-file" and read a file named after the key."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, allow_abbrev=False, **kwargs)


class Refusal(Exception):
    """A failure to report on standard error with exit status 1."""


def read_text(path: str) -> str:
    if path == "-":
        return sys.stdin.read()
    try:
        return pathlib.Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as failure:
        raise Refusal(f"cannot read {path}: {failure}") from None


def read_json(path: str):
    try:
        return jsontext.loads(read_text(path))
    except ValueError as failure:
        raise Refusal(f"{path}: not JSON: {failure}") from None


def load_key(args) -> bytes:
    if args.key_file is not None:
        try:
            key = pathlib.Path(args.key_file).read_bytes()
        except OSError as failure:
            raise Refusal(f"cannot read the key: {failure}") from None
        key = key.removesuffix(b"\n").removesuffix(b"\r")
    elif (key := os.environb.get(KEY_VARIABLE.encode())) is None:
        raise Refusal(f"no key: give --key-file FILE or set {KEY_VARIABLE}")
    if not key:
        raise Refusal("the key is empty")
    return key


def text_key(args) -> str:
    try:
        return chain.key_text(load_key(args))
    except ValueError as failure:
        raise Refusal(str(failure)) from None


def engine(function, *arguments) -> str:
    try:
        return function(*arguments)
    except ValueError as failure:
        raise Refusal(str(failure)) from None


def cmd_hash(args) -> int:
    print(engine(k.world_state_hash, text_key(args), read_text(args.state)))
    return 0


def parse_chain(text: str, path: str) -> list[dict]:
    try:
        return chain.read_chain(text)
    except ValueError as failure:
        raise Refusal(f"{path}: {failure}") from None


def payloads(args) -> list:
    """The payloads to sign: one per input line, or the chosen member of each line (a list there
    gives one payload per element)."""
    found = []
    for number, line in enumerate(jsontext.lines(read_text(args.payloads)), start=1):
        if not line.strip():
            continue
        try:
            value = jsontext.loads(line)
        except ValueError as failure:
            raise Refusal(f"{args.payloads}: line {number}: not JSON: {failure}") from None
        if args.member is not None:
            if not isinstance(value, dict) or args.member not in value:
                raise Refusal(f"{args.payloads}: line {number}: no member {args.member!r}")
            value = value[args.member]
            if isinstance(value, list):
                found.extend(value)
                continue
        found.append(value)
    return found


def report(findings: list[chain.Finding], out) -> None:
    for finding in findings:
        print(finding, file=out)


def cmd_sign(args) -> int:
    key = load_key(args)
    path = pathlib.Path(args.chain)
    existing = read_text(args.chain) if path.exists() else ""
    records = parse_chain(existing, args.chain)
    findings = chain.verify(key, records, args.genesis)
    if findings:
        report(findings, sys.stderr)
        raise Refusal(f"{args.chain}: refusing to extend a chain that does not verify")
    try:
        new = chain.extend(key, records, payloads(args), args.genesis, args.type)
    except ValueError as failure:
        raise Refusal(str(failure)) from None
    with path.open("a", encoding="utf-8") as out:
        out.write(("\n" if existing and not existing.endswith("\n") else "") + chain.chain_lines(new))
    for record in new:
        print(f"seq {record['seq']} {record['type']} {record['sig']}")
    if args.seal is not None:
        records += new
        chain_seal = chain.seal(key, len(records), chain.head(records, args.genesis))
        pathlib.Path(args.seal).write_text(jsontext.dumps(chain_seal) + "\n", encoding="utf-8")
    return 0


def read_seal(path: str) -> dict:
    try:
        return chain.parse_seal(read_json(path))
    except ValueError as failure:
        raise Refusal(f"{path}: {failure}") from None


def cmd_verify(args) -> int:
    key = load_key(args)
    records = parse_chain(read_text(args.chain), args.chain)
    chain_seal = read_seal(args.seal) if args.seal is not None else None
    findings = chain.verify(key, records, args.genesis, chain_seal)
    report(findings, sys.stdout)
    if findings:
        print(f"{len(records)} records, {len(findings)} finding{'' if len(findings) == 1 else 's'}")
        return 1
    checked = "every signature and link" + (" and the seal" if chain_seal is not None else "")
    print(f"{len(records)} records: {checked} hold")
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
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except (Refusal, OSError) as failure:  # OSError: a chain or seal file that cannot be written
        print(failure, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
