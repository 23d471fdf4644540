"""Suspended bundles: a snapshot of a world's state with its keyed hash, the chain records signed
after it (the tail), a seal over the whole chain and a binding that ties all of them to the world.

`suspend` builds one from a chain and the state that holds its first records; `resume_input`
writes the document `resume_session` takes.
"""

import kest_engine_native as k
from kest import jsontext
from kest.chain import GENESIS, Key, field, head, is_nfc, key_text, mac, seal


def state_hash(key: Key, state) -> str:
    return k.world_state_hash(key_text(key), jsontext.dumps(state))


def bind_message(
    world_id: str, snapshot_hash: str, event_index: int, tail_genesis: str, seal_count: int, seal_head: str
) -> str:
    # A binding over text that is not NFC could never be verified.
    named = {"worldId": world_id, "stateHash": snapshot_hash, "tailGenesis": tail_genesis, "seal head": seal_head}
    for name, text in named.items():
        if not is_nfc(text):
            raise ValueError(f"bundle {name} is not NFC")
    texts = ["kest.bundle.bind/1", world_id, snapshot_hash, str(event_index), tail_genesis, str(seal_count), seal_head]
    return "".join(field(text) for text in texts)


def binding(key: Key, bundle: dict) -> str:
    """The binding MAC over a bundle's world id, snapshot, tail genesis and seal."""
    snapshot, chain_seal = bundle["snapshot"], bundle["seal"]
    message = bind_message(
        bundle["worldId"],
        snapshot["stateHash"],
        snapshot["eventIndex"],
        bundle["tailGenesis"],
        chain_seal["count"],
        chain_seal["head"],
    )
    return mac(key, message)


def suspend(key: Key, world_id: str, state, records: list[dict], event_index: int, genesis: str = GENESIS) -> dict:
    """The bundle of a world whose `state` already holds the chain's first `event_index` records;
    the records after them travel as the tail."""
    if not 0 <= event_index <= len(records):
        raise ValueError(f"event index {event_index} is outside a chain of {len(records)} records")
    bundle = {
        "worldId": world_id,
        "snapshot": {"state": state, "stateHash": state_hash(key, state), "eventIndex": event_index},
        "chainTail": records[event_index:],
        "tailGenesis": head(records[:event_index], genesis),
        "seal": seal(key, len(records), head(records, genesis)),
    }
    bundle["binding"] = binding(key, bundle)
    return bundle


def resume_input(key: Key, bundle: dict, current_epoch: int, max_catchup: int, **options) -> str:
    """The `resume_session` document. `options` are its optional members by their JSON names
    (ruleset, proposalsByEpoch, actorTags, maxActions, expectedWorldId); None leaves one out."""
    document = {"key": key_text(key), "bundle": bundle, "currentEpoch": current_epoch, "maxCatchup": max_catchup}
    document.update((name, value) for name, value in options.items() if value is not None)
    return jsontext.dumps(document)
