"""Signed event chains as a host keeps them: records in JSON form, one per line, each signed with
the engine's `sign_record` and linked to the signature before it, and a seal over the whole chain.

`verify` reports every finding the engine's own chain check reports, in the same order, so an
operator sees offline exactly what a resume would refuse.
"""

import hmac
import unicodedata
from collections import namedtuple
from collections.abc import Iterable, Sequence

import kest_engine_native as k
from kest import jsontext
from kest.errors import Refused

GENESIS = "genesis"
EVENT_TYPE = "EpochResolved"
_U64_LIMIT = 2**64

Key = str | bytes


def key_bytes(key: Key) -> bytes:
    """The HMAC key: bytes as they are, text as its UTF-8 bytes."""
    return key if isinstance(key, bytes) else key.encode()


def key_text(key: Key) -> str:
    """The key as the text that `world_state_hash` and `resume_session` take."""
    if isinstance(key, str):
        return key
    try:
        return key.decode()
    except UnicodeDecodeError:
        raise ValueError("the key must be UTF-8 text to hash states and resume bundles") from None


def field(text: str) -> str:
    """The framing every signed message is built from: UTF-16 length, ":", the text."""
    return f"{len(text.encode('utf-16-le')) // 2}:{text}"


def mac(key: Key, message: str) -> str:
    return k.hmac_sha256_hex(key_bytes(key), message)


def is_nfc(text: str) -> bool:
    return unicodedata.is_normalized("NFC", text)


def same_signature(computed: str, stored: str) -> bool:
    """Signatures compare in constant time once their lengths match."""
    return hmac.compare_digest(computed.encode(), stored.encode())


def sign(key: Key, seq: int, type_: str, payload, prev_sig: str) -> dict:
    """One record in JSON form; ValueError when the payload has no canonical form."""
    sig = k.sign_record(key_bytes(key), seq, type_, jsontext.dumps(payload), prev_sig)
    return {"seq": seq, "type": type_, "payload": payload, "prevSig": prev_sig, "sig": sig}


def head(records: Sequence[dict], genesis: str) -> str:
    """What a seal names as the chain's head: its last signature, or the genesis when empty."""
    return records[-1]["sig"] if records else genesis


def extend(
    key: Key, records: Sequence[dict], payloads: Iterable, genesis: str = GENESIS, type_: str = EVENT_TYPE
) -> list[dict]:
    """The records that append `payloads` to a chain, numbered on from its last `seq`."""
    new = []
    seq = records[-1]["seq"] + 1 if records else 0
    prev_sig = head(records, genesis)
    for payload in payloads:
        new.append(sign(key, seq, type_, payload, prev_sig))
        seq, prev_sig = seq + 1, new[-1]["sig"]
    return new


def sign_chain(key: Key, payloads: Iterable, genesis: str = GENESIS) -> list[dict]:
    """Records 0, 1, ... of a new chain holding `payloads`."""
    return extend(key, [], payloads, genesis)


def seal_message(count: int, head_sig: str) -> str:
    if not is_nfc(head_sig):
        raise ValueError("seal head is not NFC")
    return field("kest.chain.seal/1") + field(str(count)) + field(head_sig)


def seal(key: Key, count: int, head_sig: str) -> dict:
    """The seal over a chain of `count` records whose last signature is `head_sig`."""
    return {"count": count, "head": head_sig, "sig": mac(key, seal_message(count, head_sig))}


def seal_signature_holds(key: Key, chain_seal: dict) -> bool:
    if not is_nfc(chain_seal["head"]):
        return False
    return same_signature(mac(key, seal_message(chain_seal["count"], chain_seal["head"])), chain_seal["sig"])


def seals_a_prefix(key: Key, records: Sequence[dict], chain_seal: dict, genesis: str = GENESIS) -> bool:
    """Whether `chain_seal` is a genuine seal over the chain's first "count" records: what a crash
    between appending records and rewriting the seal leaves behind."""
    count = chain_seal["count"]
    return (
        count <= len(records)
        and seal_signature_holds(key, chain_seal)
        and chain_seal["head"] == (records[count - 1]["sig"] if count else genesis)
    )


def _is_u64(value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value < _U64_LIMIT


def parse_record(value) -> dict:
    """A record read from JSON, checked member by member; Refused with the engine's message."""
    if not isinstance(value, dict) or not _is_u64(value.get("seq")):
        raise Refused("record missing seq")
    if not isinstance(value.get("type"), str):
        raise Refused("record missing type")
    if "payload" not in value:
        raise Refused("record missing payload")
    for member in ("prevSig", "sig"):
        if not isinstance(value.get(member), str):
            raise Refused(f"record missing {member}")
    return value


def parse_seal(value) -> dict:
    if not (
        isinstance(value, dict)
        and _is_u64(value.get("count"))
        and isinstance(value.get("head"), str)
        and isinstance(value.get("sig"), str)
    ):
        raise Refused("a seal is an object with a non-negative integer count and string head and sig")
    return value


def read_chain(text: str) -> list[dict]:
    """The records of a JSON-lines chain; blank lines are skipped. Refused names the line."""
    records = []
    for number, line in enumerate(jsontext.lines(text), start=1):
        if line.strip():
            # Not `errors.refusing`: a block per line would cost a tenth of the reading.
            try:
                records.append(parse_record(jsontext.loads(line)))
            except ValueError as failure:
                raise Refused(f"line {number}: {failure}") from None
    return records


def chain_lines(records: Iterable[dict]) -> str:
    return "".join(jsontext.dumps(record) + "\n" for record in records)


# Named tuples rather than dataclasses here and in chainfile: importing dataclasses costs more
# than signing a record, and `kest sign` starts once per record it appends.
class Finding(namedtuple("Finding", "label seq reason")):
    """One fault of a chain: the record's type and seq (or "(seal)" and the sealed count), and the
    reason: "BadSignature", "BrokenLink" or "SealMismatch"."""

    __slots__ = ()

    def __str__(self) -> str:
        return f"{self.reason}: {self.label} seq {self.seq}"


def _record_signature(key: Key, record: dict) -> str | None:
    try:
        return k.sign_record(
            key_bytes(key), record["seq"], record["type"], jsontext.dumps(record["payload"]), record["prevSig"]
        )
    except ValueError:  # a field that is not NFC, or a payload without canonical form
        return None


def verify(key: Key, records: Sequence[dict], genesis: str = GENESIS, chain_seal: dict | None = None) -> list[Finding]:
    """Every finding of the chain under `key`, in order: each record's signature, then its link
    to the signature stored before it; then the seal, when one is given. Empty means authentic."""
    findings = []
    expected_link = genesis
    for record in records:
        computed = _record_signature(key, record)
        if computed is None or not same_signature(computed, record["sig"]):
            findings.append(Finding(record["type"], record["seq"], "BadSignature"))
        # A record whose signature cannot even be computed is not judged on its link.
        if computed is not None and record["prevSig"] != expected_link:
            findings.append(Finding(record["type"], record["seq"], "BrokenLink"))
        # The next link is judged against the stored signature, so one tampered record is one finding.
        expected_link = record["sig"]
    if chain_seal is not None:
        if not (chain_seal["count"] == len(records) and seals_a_prefix(key, records, chain_seal, genesis)):
            findings.append(Finding("(seal)", chain_seal["count"], "SealMismatch"))
    return findings
