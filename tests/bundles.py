"""Suspended bundles built the way a host builds them, with the module's own functions: epoch
events signed into a chain, a snapshot with its state hash, the tail after it, a seal over the
whole chain and a binding over all of it.

Shared by the tests, the benchmarks and the demo.
"""

import json

import kest_engine_native as k

EVENT_TYPE = "EpochResolved"


def field(text: str) -> str:
    """The length-prefixed framing of signed messages: UTF-16 length, ":", the text."""
    return f"{len(text.encode('utf-16-le')) // 2}:{text}"


def mac(key: str, message: str) -> str:
    return k.hmac_sha256_hex(key.encode(), message)


def sign_chain(key: str, payloads: list, genesis: str = "genesis") -> list[dict]:
    """Records 0, 1, ... of a chain holding `payloads`, each linked to the one before it."""
    records = []
    prev_sig = genesis
    for seq, payload in enumerate(payloads):
        sig = k.sign_record(key.encode(), seq, EVENT_TYPE, json.dumps(payload), prev_sig)
        records.append({"seq": seq, "type": EVENT_TYPE, "payload": payload, "prevSig": prev_sig, "sig": sig})
        prev_sig = sig
    return records


def seal(key: str, count: int, head: str) -> dict:
    return {"count": count, "head": head, "sig": mac(key, field("kest.chain.seal/1") + field(str(count)) + field(head))}


def binding(key: str, bundle: dict) -> str:
    snapshot, chain_seal = bundle["snapshot"], bundle["seal"]
    texts = [
        "kest.bundle.bind/1",
        bundle["worldId"],
        snapshot["stateHash"],
        str(snapshot["eventIndex"]),
        bundle.get("tailGenesis", ""),
        str(chain_seal["count"]),
        chain_seal["head"],
    ]
    return mac(key, "".join(field(text) for text in texts))


def suspend(key: str, world_id: str, state: dict, records: list[dict], event_index: int, genesis="genesis") -> dict:
    """The bundle of a world whose `state` holds the chain's first `event_index` records."""
    tail_genesis = records[event_index - 1]["sig"] if event_index > 0 else genesis
    bundle = {
        "worldId": world_id,
        "snapshot": {
            "state": state,
            "stateHash": k.world_state_hash(key, json.dumps(state)),
            "eventIndex": event_index,
        },
        "chainTail": records[event_index:],
        "tailGenesis": tail_genesis,
        "seal": seal(key, len(records), records[-1]["sig"] if records else genesis),
    }
    bundle["binding"] = binding(key, bundle)
    return bundle


def live_epochs(world_id: str, state: dict, ruleset: dict, proposals_by_epoch: dict, epochs: int):
    """Ticks epochs 1..`epochs` one call at a time: the states after each (the first is `state`)
    and the events, which a host signs into its chain."""
    states, events = [state], []
    for epoch in range(1, epochs + 1):
        document = {
            "worldId": world_id,
            "epochNumber": epoch,
            "state": states[-1],
            "ruleset": ruleset,
            "proposals": proposals_by_epoch.get(str(epoch), {}),
        }
        output = json.loads(k.tick_epoch(json.dumps(document)))
        states.append(output["state"])
        events.append(output["event"])
    return states, events
