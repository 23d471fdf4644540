"""The engine end to end on the embedded default world, told as a short campaign.

    python -m kest.demo [--out DIR]

Heroes and monsters fight through several offline epochs, each "EpochResolved" event signed into
an HMAC chain. The world is suspended into a bundle and resumed after a gap of missed epochs;
tampered copies of the bundle are refused; a few real-time frames end with a client's rollback
that reproduces the server's state. The chain, the bundle and the final state go to DIR.
"""

import argparse
import copy
import json
import pathlib
import sys

import kest_engine_native as k
from kest import account, bundles, campaign, chain, durable, jsontext, synctest, tactics, world

KEY = "demo-server-key"  # a real server keeps its key in a secret store, never in code
LIVE_EPOCHS = 4
SNAPSHOT_INDEX = 2  # the bundle's snapshot holds the first two records; the rest travel as its tail
RESUME_EPOCH = 8
MAX_CATCHUP = 3
PLAYERS = {"p1": "aria", "p2": "brom", "p3": "cael"}
FRAMES = 3
LATE = ("2", "p1")  # the frame and the player whose command reaches the client too late
SYNC_FRAMES, SYNC_DISTANCE = 6, 3
CARELESS_SEEDS = ("1", "2")  # two PYTHONHASHSEED values that order the careless host's set differently


def heading(text: str) -> None:
    print(f"\n{text}")


def roster(state: dict) -> None:
    for entity_id, entity in state["entities"].items():
        properties = entity["properties"]
        print(
            f"  {entity_id:<6} {entity['name']:<22} hp {properties['hp']:>2}/{properties['max_hp']:<3}"
            f" ac {properties['ac']:<3} {' '.join(entity['tags'])}"
        )


def one_check(state: dict, ruleset: dict) -> None:
    heading("One check, resolved alone (evaluate_action, seed 7): roll against a difficulty, graded into a degree")
    result = json.loads(
        k.evaluate_action(jsontext.dumps(state), jsontext.dumps(ruleset["strike"]["check"]), "aria", "gob-1", seed=7)
    )
    before = state["entities"]["gob-1"]["properties"]["hp"]
    after = result["state"]["entities"]["gob-1"]["properties"]["hp"]
    print(
        f"  aria strikes gob-1: 1d20 + atk rolled {result['roll']} (natural {result['natural']}) against gob-1's"
        f" ac {result['dc']}, delta {result['delta']:+d}: {result['degree']}; gob-1 hp {before}->{after}"
    )
    print("  (a dry run: the engine returns a new state and never changes the one it is given)")


def play_epochs(world_id: str, state: dict, ruleset: dict):
    """Live offline epochs; every event is signed into the chain as it is produced."""
    heading(f"Offline epochs 1-{LIVE_EPOCHS} (tick_epoch); each event signed into the chain (sign_record)")
    states, records = [state], []
    for epoch in range(1, LIVE_EPOCHS + 1):
        proposals = tactics.proposals(states[-1])
        output = campaign.tick_epoch(world_id, epoch, states[-1], ruleset, proposals)
        records += chain.extend(KEY, records, [output["event"]])
        event = output["event"]
        print(
            f"epoch {epoch}: {account.counts(event['actions_processed'])}, {event['pcg_steps_consumed']} generator"
            f" steps; record seq {records[-1]['seq']}, sig {account.short(records[-1]['sig'])}"
        )
        for record in event["actions_processed"]:
            print(account.action_line(record, proposals[record["actor_id"]].get("targetId")))
        states.append(output["state"])
    return states, records


def suspend(world_id: str, states: list[dict], records: list[dict]) -> dict:
    heading(f"Suspend after epoch {LIVE_EPOCHS}: snapshot at epoch {SNAPSHOT_INDEX}, the later records as its tail")
    bundle = bundles.suspend(KEY, world_id, states[SNAPSHOT_INDEX], records, SNAPSHOT_INDEX)
    snapshot, seal = bundle["snapshot"], bundle["seal"]
    print(
        f"  snapshot eventIndex {snapshot['eventIndex']}, stateHash {account.short(snapshot['stateHash'])}"
        f" (world_state_hash); tail of {len(bundle['chainTail'])} records"
    )
    print(
        f"  seal count {seal['count']}, head {account.short(seal['head'])}, sig {account.short(seal['sig'])};"
        f" binding {account.short(bundle['binding'])}"
    )
    return bundle


def resume(bundle: dict, live_state: dict, ruleset: dict, records: list[dict]) -> tuple[dict, list[dict]]:
    """The resumed world and the records that sign the epochs caught up on."""
    heading("Resume (resume_session): verify fail-closed, replay the tail without rolling dice, catch up")
    replayed = json.loads(k.resume_session(bundles.resume_input(KEY, bundle, LIVE_EPOCHS, MAX_CATCHUP)))["state"]
    same = bundles.state_hash(KEY, replayed) == bundles.state_hash(KEY, live_state)
    print(
        f"  at epoch {LIVE_EPOCHS}: replayed state hash {account.short(bundles.state_hash(KEY, replayed))}"
        f" {'equals' if same else 'DIFFERS FROM'} the live world's"
    )
    # Orders the players filed before leaving stand for every epoch they miss.
    orders = tactics.proposals(live_state)
    standing = {str(epoch): orders for epoch in range(LIVE_EPOCHS + 1, RESUME_EPOCH + 1)}
    text = bundles.resume_input(KEY, bundle, RESUME_EPOCH, MAX_CATCHUP, ruleset=ruleset, proposalsByEpoch=standing)
    output = json.loads(k.resume_session(text))
    resolved, voided = output["epochsResolved"], output["epochsVoided"]
    print(
        f"  at epoch {RESUME_EPOCH}, after a gap: {resolved} missed epochs resolved with the standing orders,"
        f" {voided} voided (at most {MAX_CATCHUP} per resume)"
    )
    new_records = chain.extend(KEY, records, output["newEvents"])
    for event, signed in zip(output["newEvents"], new_records, strict=True):
        print(
            f"epoch {event['epoch_number']}: {account.counts(event['actions_processed'])}; record seq"
            f" {signed['seq']}, sig {account.short(signed['sig'])}"
        )
        for record in event["actions_processed"]:
            print(account.action_line(record, orders[record["actor_id"]].get("targetId")))
    return output["state"], new_records


def tampered_copies(bundle: dict) -> dict[str, dict]:
    forged, truncated, edited, moved = (copy.deepcopy(bundle) for _ in range(4))
    mutation = next(
        mutation
        for record in forged["chainTail"]
        for action in record["payload"]["actions_processed"]
        for mutation in action.get("mutations_applied", [])
        if "next" in mutation
    )
    mutation["next"] += 20
    truncated["chainTail"].pop()
    edited["snapshot"]["state"]["entities"]["ogre"]["properties"]["hp"] = 100
    moved["worldId"] = "another-vale"
    return {
        f"a tail record's {mutation['target']} {mutation['property']} raised by 20": forged,
        "the last tail record dropped": truncated,
        "the snapshot's ogre given 100 hp": edited,
        "the bundle moved to another world": moved,
    }


def refuse_tampering(bundle: dict, records: list[dict]) -> None:
    heading("Tampered copies are refused, each with its own message")
    copies = tampered_copies(bundle)
    for description, tampered in copies.items():
        try:
            k.resume_session(bundles.resume_input(KEY, tampered, RESUME_EPOCH, MAX_CATCHUP))
            outcome = "RESUMED"
        except ValueError as refusal:
            outcome = str(refusal)
        print(f"  {description}:\n    {outcome}")
    forged_chain = records[:SNAPSHOT_INDEX] + next(iter(copies.values()))["chainTail"]
    findings = ", ".join(str(finding) for finding in chain.verify(KEY, forged_chain))
    print(f"  the forged chain checked record by record (kest verify): {findings}")


def frame_input(world_id: str, frame: int, state: dict, commands: list[dict], ruleset: dict) -> str:
    document = {"worldId": world_id, "frameNumber": frame, "state": state, "commands": commands}
    return jsontext.dumps(document | {"ruleset": ruleset, "playerEntities": PLAYERS})


def real_time(world_id: str, state: dict, ruleset: dict) -> dict:
    heading(f"Real-time frames 1-{FRAMES} (tick_frame), players {', '.join(f'{p}={e}' for p, e in PLAYERS.items())}")
    server, client, commands_by_frame = [state], state, {}
    for frame in range(1, FRAMES + 1):
        commands = tactics.commands(server[-1], PLAYERS)
        commands_by_frame[str(frame)] = commands
        output = json.loads(k.tick_frame(frame_input(world_id, frame, server[-1], commands, ruleset)))
        server.append(output["state"])
        event = output["event"]
        print(
            f"frame {frame}: {account.counts(event['commands_processed'])},"
            f" {event['pcg_steps_consumed']} generator steps"
        )
        targets = {command["playerId"]: command.get("targetId") for command in commands}
        for record in event["commands_processed"]:
            print(account.action_line(record, targets[record["player_id"]]))
        # The client predicts each frame with the commands it has heard of so far.
        known = [command for command in commands if (str(frame), command["playerId"]) != LATE]
        client = json.loads(k.tick_frame(frame_input(world_id, frame, client, known, ruleset)))["state"]

    heading("Rollback (reconcile_frames): the client's prediction missed a late command")
    server_hash = bundles.state_hash(KEY, server[-1])
    print(
        f"  server frame {FRAMES} hash {account.short(server_hash)}; client's prediction"
        f" {account.short(bundles.state_hash(KEY, client))} (without {LATE[1]}'s command of frame {LATE[0]})"
    )
    document = {
        "worldId": world_id,
        "correctedState": server[1],
        "commandsByFrame": commands_by_frame,
        "toFrame": FRAMES,
        "ruleset": ruleset,
        "playerEntities": PLAYERS,
    }
    output = json.loads(k.reconcile_frames(jsontext.dumps(document)))
    reconciled_hash = bundles.state_hash(KEY, output["state"])
    verdict = "equals the server's" if reconciled_hash == server_hash else "DIFFERS FROM the server's"
    print(
        f"  from the server's corrected frame 1, {output['framesReplayed']} frames replayed:"
        f" hash {account.short(reconciled_hash)} {verdict}"
    )
    return server[-1]


def steady_host(frame: int, state_text: str) -> list[dict]:
    """The players' commands as the frames above choose them: from the state, in a fixed order."""
    return tactics.commands(json.loads(state_text), PLAYERS)


def careless_host(frame: int, state_text: str) -> list[dict]:
    """p1 strikes every standing monster, numbering the strikes in the order of a Python set: that
    order, and with it which strike draws which dice, changes with PYTHONHASHSEED."""
    entities = json.loads(state_text)["entities"]
    monsters = {id_ for id_, entity in entities.items() if {"monster"} <= set(entity["tags"]) - {"down"}}
    return [{"playerId": "p1", "seq": seq, "actionId": "strike", "targetId": id_} for seq, id_ in enumerate(monsters)]


def sync_test(world_id: str, state: dict, ruleset: dict) -> None:
    heading(f"Sync test (kest synctest): frames 1-{SYNC_FRAMES}, rolled back {SYNC_DISTANCE} at a time and replayed")
    document = jsontext.dumps({"worldId": world_id, "state": state, "ruleset": ruleset, "playerEntities": PLAYERS})
    session = synctest.parse_session(json.loads(document), synctest.FRAMES)
    outcome = synctest.run(
        session,
        SYNC_FRAMES,
        SYNC_DISTANCE,
        host="kest.demo:steady_host",
        child=True,
        document_text=document,
        say=lambda line: print(f"  {line}"),
    )
    print(f"  {'every check holds' if outcome.mismatch is None else 'MISMATCH'}")

    heading("A desync caught: a host that numbers p1's strikes in the order of a set, run under two hash seeds")
    mismatch = synctest.seed_mismatch(document, session, SYNC_FRAMES, "kest.demo:careless_host", CARELESS_SEEDS)
    if mismatch is None:
        print("  NO DESYNC: both seeds ordered the set alike")
        return
    for line in synctest.mismatch_lines(mismatch, "frame"):
        print(f"  {line}")


def write_outputs(out: pathlib.Path, records: list[dict], bundle: dict, final_state: dict) -> None:
    durable.make_folder(out)
    durable.write_text(out / "chain.jsonl", chain.chain_lines(records))
    chain_seal = chain.seal(KEY, len(records), chain.head(records, chain.GENESIS))
    durable.write_text(out / "chain-seal.json", jsontext.dumps(chain_seal) + "\n")
    durable.write_text(out / "bundle.json", jsontext.dumps(bundle) + "\n")
    durable.write_text(out / "final-state.json", json.dumps(final_state, indent=2) + "\n")
    heading(f"Files in {out}/ (the demo's key is {KEY!r}; try: export KEST_KEY={KEY})")
    for name, what, command in [
        (
            "chain.jsonl",
            f"{len(records)} signed records",
            f"kest verify {out}/chain.jsonl --seal {out}/chain-seal.json",
        ),
        ("bundle.json", "the suspended world", f"kest resume {out}/bundle.json --current-epoch {RESUME_EPOCH}"),
        ("final-state.json", "after the frames", f"kest hash {out}/final-state.json"),
    ]:
        print(f"  {name:<17} {what:<20} {command}")


def run(out: pathlib.Path) -> None:
    world_id, state = world.default_world()
    ruleset = world.default_ruleset()
    print(f'kest_engine_native {k.version()}: a campaign in the world "{world_id}"')
    roster(state)
    one_check(state, ruleset)
    states, records = play_epochs(world_id, state, ruleset)
    bundle = suspend(world_id, states, records)
    resumed, caught_up = resume(bundle, states[-1], ruleset, records)
    refuse_tampering(bundle, records)
    final_state = real_time(world_id, resumed, ruleset)
    sync_test(world_id, state, ruleset)
    write_outputs(out, records + caught_up, bundle, final_state)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m kest.demo", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("demo-output"), help="output folder")
    run(parser.parse_args(argv).out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
