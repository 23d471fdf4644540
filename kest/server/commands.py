"""The `kest` commands of the host: serve, token and export. The `kest` tool imports this module
only when one of them runs."""

from pathlib import Path

from kest import chain, durable, jsontext
from kest.errors import Refused
from kest.server.app import close_service, open_service
from kest.server.config import ServerConfig
from kest.server.errors import BadInput, HostError
from kest.server.settings import check_room
from kest.server.store import StoreError
from kest.server.tokens import issue


def _config(args) -> ServerConfig:
    return ServerConfig(data_dir=Path(args.data), db_url=args.db)


def cmd_serve(args) -> int:
    from kest.server.serve import serve

    config = _config(args)
    config.host, config.port = args.host, args.port
    config.body_limit, config.idle_seconds = args.body_limit, args.idle_seconds
    config.room_rate = args.room_rate
    try:
        check_room({"rate": config.room_rate})
    except BadInput as refusal:
        raise Refused(f"--room-rate: {refusal}") from None
    config.lease_seconds = args.lease_seconds
    try:
        serve(config)
    except (StoreError, ValueError) as failure:  # a database or a server key that cannot be used
        raise Refused(str(failure)) from None
    return 0


def _with_service(args, work):
    try:
        service = open_service(_config(args))
    except (StoreError, ValueError) as failure:
        raise Refused(str(failure)) from None
    try:
        return work(service)
    except (HostError, StoreError) as failure:
        raise Refused(str(failure)) from None
    finally:
        close_service(service)


def cmd_token(args) -> int:
    def make(service):
        if args.world is not None:
            service.row(args.world)
            if args.entity is not None and args.entity not in service.facts(args.world, (args.entity,)).entities:
                raise Refused(f'entity "{args.entity}" is not one of world "{args.world}"')
        token, job = issue(args.role, args.world, args.entity, service.clock())
        service.writer.run(job)
        return token

    print(_with_service(args, make))
    return 0


def _write_files(args, exported: dict) -> None:
    durable.write_text(args.chain, chain.chain_lines(exported["records"]))
    durable.write_text(args.seal, jsontext.dumps(exported["seal"]) + "\n")


def cmd_export(args) -> int:
    def export(service):
        if args.prune:
            files = []

            def keep(exported):
                _write_files(args, exported)
                files.append(exported)

            pruned = service.archive(args.world, keep)
            return files[0], f"pruned {pruned} records from the live database"
        exported = service.export(args.world)
        _write_files(args, exported)
        return exported, None

    exported, note = _with_service(args, export)
    print(
        f"{len(exported['records'])} records; verify with: kest verify {args.chain} --seal {args.seal} "
        f"--genesis {exported['genesis']}"
    )
    if note:
        print(note)
    return 0
