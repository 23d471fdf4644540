"""A world's signed history as the host keeps it: its genesis, its records signed from texts, the
seal and the bundle built around a state text, and the host's own replay of a chain.

Texts stay texts here: a tick's output is split into its event and its state without parsing the
state, and a record's payload is signed and stored as the text the engine wrote.
"""

import hashlib
import json
import secrets

import kest_engine_native as k
from kest import bundles, chain, jsontext
from kest.server.store import RecordRow

EPOCH_RECORD = "EpochResolved"
FRAMES_RECORD = "FramesResolved"
_GENESIS_TAG = "kest.host.genesis/1"
_EVENT_START = len('{"event":')
_STATE_MEMBER = ',"state":'
_DECODER = json.JSONDecoder()
# The largest epoch the engine takes: replay asks for no catch-up up to it.
_LAST_EPOCH = 2**53 - 1


def genesis(world_id: str) -> str:
    """The prevSig of a world's first record: its own, so that one world's records never verify
    inside another world's chain."""
    message = chain.field(_GENESIS_TAG) + chain.field(world_id)
    return hashlib.sha256(message.encode()).hexdigest()


def split_tick_output(output: str) -> tuple[str, str]:
    """The event text and the state text of a `tick_epoch` or `tick_frame` output, whose members
    come in key order: "event", "rejected", "resolved", "state". Only the event is scanned."""
    _, event_end = _DECODER.raw_decode(output, _EVENT_START)
    state_start = output.index(_STATE_MEMBER, event_end) + len(_STATE_MEMBER)
    return output[_EVENT_START:event_end], output[state_start:-1]


def sign(key: bytes, seq: int, type_: str, payload: str, prev_sig: str) -> RecordRow:
    """The record of `payload` (JSON text); ValueError with the engine's words when it has no
    canonical form."""
    return RecordRow(seq, type_, payload, prev_sig, k.sign_record(key, seq, type_, payload, prev_sig))


def record_text(record: RecordRow) -> str:
    """A record's JSON form with its payload as stored, unparsed."""
    return (
        f'{{"seq":{record.seq},"type":{jsontext.dumps(record.type)},"payload":{record.payload},'
        f'"prevSig":{jsontext.dumps(record.prev_sig)},"sig":{jsontext.dumps(record.sig)}}}'
    )


def record_value(record: RecordRow) -> dict:
    return {
        "seq": record.seq,
        "type": record.type,
        "payload": jsontext.loads(record.payload),
        "prevSig": record.prev_sig,
        "sig": record.sig,
    }


def bundle_text(key: str, world_id: str, state: str, state_hash: str, event_index: int, head_sig: str) -> str:
    """The bundle of a world whose `state` holds every record of its chain: the snapshot is taken
    at the head, after the last record of any kind, so the tail is empty and a resume replays
    nothing it could not (frame groups among them)."""
    snapshot = f'{{"eventIndex":{event_index},"state":{state},"stateHash":{jsontext.dumps(state_hash)}}}'
    parts = {
        "worldId": world_id,
        "chainTail": [],
        "tailGenesis": head_sig,
        "seal": chain.seal(key, event_index, head_sig),
        "snapshot": {"state": None, "stateHash": state_hash, "eventIndex": event_index},
    }
    parts["binding"] = bundles.binding(key, parts)
    del parts["snapshot"]
    return jsontext.dumps(parts)[:-1] + f',"snapshot":{snapshot}}}'


def export(key: str, records: list[RecordRow], genesis_sig: str) -> dict:
    """The files `kest verify` checks for `records`, a stretch of a chain: its genesis (the
    prevSig of its first record), the records, and a seal over them."""
    values = [record_value(record) for record in records]
    return {
        "genesis": genesis_sig,
        "records": values,
        "seal": chain.seal(key, len(values), chain.head(values, genesis_sig)),
    }


def _replayable(record: RecordRow) -> list[str]:
    """The epoch-event payloads a record replays as: an epoch record is one; a frame group gives
    one per frame, its commands read as actions and its frame number kept apart."""
    if record.type != FRAMES_RECORD:
        return [record.payload]
    frames = jsontext.loads(record.payload).get("frames", [])
    return [jsontext.dumps({"actions_processed": frame.get("commands_processed", [])}) for frame in frames]


def replay(state: str, records: list[RecordRow]) -> dict:
    """The state the engine's own replay gives for `state` followed by `records`: they are signed
    again under a throwaway key into a bundle that `resume_session` replays without catching up."""
    throwaway = secrets.token_hex(32)
    payloads = [payload for record in records for payload in _replayable(record)]
    tail, prev_sig = [], "replay"
    for seq, payload in enumerate(payloads):
        signed = sign(throwaway.encode(), seq, EPOCH_RECORD, payload, prev_sig)
        tail.append(record_text(signed))
        prev_sig = signed.sig
    parsed_state = jsontext.loads(state)
    bundle = bundles.suspend(throwaway, "replay", parsed_state, [], 0, "replay")
    bundle["seal"] = chain.seal(throwaway, len(payloads), prev_sig)
    bundle["binding"] = bundles.binding(throwaway, bundle)
    document = bundles.resume_input(throwaway, bundle, _LAST_EPOCH, 0)
    document = document.replace('"chainTail":[]', '"chainTail":[' + ",".join(tail) + "]", 1)
    replayed = jsontext.loads(k.resume_session(document))["state"]
    frames = [record for record in records if record.type == FRAMES_RECORD]
    if frames:
        last = jsontext.loads(frames[-1].payload).get("frames", [])
        if last:
            replayed["frame"] = last[-1]["frame_number"]
    return replayed
