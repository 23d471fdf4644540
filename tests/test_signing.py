"""Signatures and state hashes through the module, checked against an independent model of the
canonical text written here with the standard library."""

import bz2
import hashlib
import hmac
import json
import pathlib
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kest_engine_native as k

SAFE = 9007199254740991
NON_NFC = "e\u0301"


def canonical(value) -> str:
    """The canonical text: keys in UTF-16 order, strings quoted as JSON.stringify does."""
    if isinstance(value, dict):
        keys = sorted(value, key=lambda key: key.encode("utf-16-be"))
        return "{" + ",".join(canonical(key) + ":" + canonical(value[key]) for key in keys) + "}"
    if isinstance(value, list):
        return "[" + ",".join(canonical(element) for element in value) + "]"
    return json.dumps(value, ensure_ascii=False)


def field(text: str) -> str:
    return f"{len(text.encode('utf-16-le')) // 2}:{text}"


def mac(key: bytes, message: str) -> str:
    return hmac.new(key, message.encode(), hashlib.sha256).hexdigest()


def model_state_hash(key: str, state) -> str:
    return mac(key.encode(), field("kest.snapshot/1") + field(canonical(state)))


def value_error(call, *args) -> str:
    with pytest.raises(ValueError) as failure:
        call(*args)
    return str(failure.value)


DOCSTRINGS = {
    "hmac_sha256_hex": "hmac_sha256_hex(key, message)\n--\n\n",
    "sign_record": "sign_record(key, seq, type_, payload_json, prev_sig)\n--\n\nSign one event record. "
    "`payload_json` is a JSON string (e.g. json.dumps(...));\nraises ValueError if it is not valid JSON or carries a "
    "non-canonicalizable\nvalue (e.g. a fractional number - banned from signed event data).",
    "world_state_hash": "world_state_hash(key, state_json)\n--\n\nHMAC-SHA-256 of the canonical world state "
    "(byte-identical to TS/Python worldStateHash).",
    "global_region_hash": "global_region_hash(key, regions_json)\n--\n\nThe global region hash (interest-management "
    "Merkle root). `regions_json` is\n{ regionId: regionState, ... }. Byte-identical to TS globalRegionHash.",
}


@pytest.mark.parametrize("name", DOCSTRINGS)
def test_docstrings(name):
    signature, description = DOCSTRINGS[name].split("\n--\n\n", 1)
    assert getattr(k, name).__text_signature__ == signature.removeprefix(name)
    assert getattr(k, name).__doc__ == (description or None)


def test_sign_record_worked_example():
    message = '16:kest.chain.rec/11:74:move13:{"a":1,"b":2}0:'
    assert len(message) == 46
    sig = k.sign_record(b"key", 7, "move", json.dumps({"b": 2, "a": 1}), "")
    assert sig == mac(b"key", message) == "7f4be82422fefb37fdfcac4bd82d5962d1b28e3f73fe60a0da36dbff50b09e61"
    assert k.sign_record(key=b"key", seq=7, type_="move", payload_json='{"a":1,"b":2}', prev_sig="") == sig


def test_hmac_rfc4231_and_empty_key():
    assert k.hmac_sha256_hex(b"Jefe", "what do ya want for nothing?") == (
        "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"
    )
    assert k.hmac_sha256_hex(b"", "") == "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"


@given(key=st.binary(max_size=200), message=st.text())
def test_hmac_is_hmac_sha256_of_the_utf8_bytes(key, message):
    assert k.hmac_sha256_hex(key, message) == mac(key, message)


@pytest.mark.parametrize(
    ("call", "args", "message"),
    [
        (k.sign_record, (b"k", 1, "t", "{", ""), "invalid payload JSON: "),
        (k.sign_record, (b"k", 1, "t", "[0.5]", ""), "non-canonicalizable payload: NonIntegerNumber"),
        (k.sign_record, (b"k", 1, "t", '{"__proto__":0,"a":0.5}', ""), "non-canonicalizable payload: ForbiddenKey"),
        (k.sign_record, (b"k", 1, NON_NFC, "[0.5]", ""), "non-canonicalizable payload: NonNfc"),
        (k.sign_record, (b"k", 1, "t", "1", NON_NFC), "non-canonicalizable payload: NonNfc"),
        (k.world_state_hash, ("k", "{"), "bad state json: "),
        (k.world_state_hash, ("k", "[9007199254740992]"), "hash: UnsafeInteger"),
        (k.world_state_hash, ("k", "[-0]"), "hash: NegativeZero"),
        (k.world_state_hash, ("k", '{"a":{"__proto__":1}}'), "hash: ForbiddenKey"),
        (k.world_state_hash, ("k", json.dumps([NON_NFC])), "hash: NonNfc"),
        (k.global_region_hash, ("k", "{"), "bad regions json: "),
        (k.global_region_hash, ("k", '{"r":[1.5]}'), "region hash: NonIntegerNumber"),
        (k.global_region_hash, ("k", '{"__proto__":{}}'), "region hash: ForbiddenKey"),
    ],
)
def test_failure_messages(call, args, message):
    text = value_error(call, *args)
    assert text.startswith(message) and (message.endswith(": ") or text == message)


@pytest.mark.parametrize(
    ("call", "args"),
    [
        (k.hmac_sha256_hex, ("key", "m")),
        (k.sign_record, ("key", 1, "t", "1", "")),
        (k.world_state_hash, (b"key", "{}")),
        (k.global_region_hash, (b"key", "{}")),
    ],
)
def test_key_kinds(call, args):
    with pytest.raises(TypeError, match="argument 'key'"):
        call(*args)


def test_argument_conversions():
    assert k.sign_record(b"k", 2**64 - 1, "t", "null", "") == mac(
        b"k", "16:kest.chain.rec/120:184467440737095516151:t4:null0:"
    )
    with pytest.raises(OverflowError):
        k.sign_record(b"k", -1, "t", "null", "")
    with pytest.raises(UnicodeEncodeError):
        k.hmac_sha256_hex(b"k", "\ud800")
    with pytest.raises(TypeError, match="argument 'payload_json'"):
        k.sign_record(b"k", 1, "t", b"null", "")


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-SAFE, SAFE)
    | st.text(st.characters(blacklist_categories=("Cs", "Cn"))).map(lambda s: unicodedata.normalize("NFC", s)),
    lambda children: (
        st.lists(children, max_size=5)
        | st.dictionaries(
            st.text(st.characters(blacklist_categories=("Cs", "Cn")), max_size=4)
            .map(lambda s: unicodedata.normalize("NFC", s))
            .filter(lambda s: s != "__proto__"),
            children,
            max_size=5,
        )
    ),
    max_leaves=30,
)


@settings(max_examples=400)
@given(
    state=json_values,
    key=st.text(max_size=10),
    ensure_ascii=st.booleans(),
    indent=st.sampled_from([None, 0, 2]),
    sort_keys=st.booleans(),
)
def test_world_state_hash_matches_the_model(state, key, ensure_ascii, indent, sort_keys):
    # Escapes, layout and key order vary what the text looks like, and which way it is read.
    text = json.dumps(state, ensure_ascii=ensure_ascii, indent=indent, sort_keys=sort_keys)
    assert k.world_state_hash(key, text) == model_state_hash(key, state)


@settings(max_examples=100)
@given(
    count=st.integers(0, 400),
    extra=st.dictionaries(st.text("ez019\u00e9\U00010000\ue000", max_size=5), st.integers(-SAFE, SAFE), max_size=8),
    at=st.integers(0, 400),
)
def test_world_state_hash_of_large_maps_matches_the_model(count, extra, at):
    # Maps as programs keep them, in insertion order ("e0" ... "e9", "e10" ...), with a few other
    # keys slipped in somewhere: the members arrive as long runs in key order, broken here and there.
    ids = [f"e{i}" for i in range(count)]
    entities = {id_: {"name": f"\u00c6 {id_}", "hp": len(id_), "tags": ["b", "a"]} for id_ in ids[:at]}
    entities.update(extra)
    entities.update({id_: {"hp": 1, "ac": 2} for id_ in ids[at:]})
    state = {"frame": 0, "entities": entities, "epoch": 1}
    assert k.world_state_hash("key", json.dumps(state, ensure_ascii=False)) == model_state_hash("key", state)


RECORD_KEYS = ["hp", "ac", "xp", "level", "abcdefgh1", "abcdefgh2", "\u00e9", "\ue000", "\U00010000"]


@settings(max_examples=100)
@given(
    shapes=st.lists(
        st.tuples(st.permutations(RECORD_KEYS), st.integers(1, len(RECORD_KEYS))).map(lambda p: p[0][: p[1]]),
        min_size=1,
        max_size=3,
    ),
    picks=st.lists(st.integers(0, 2), max_size=30),
    ensure_ascii=st.booleans(),
)
def test_world_state_hash_of_records_of_a_few_shapes_matches_the_model(shapes, picks, ensure_ascii):
    # Records as programs write them, each with one of a few key orders, so that a record's keys
    # mostly arrive as the record's before it did, and sometimes in another order or another set.
    records = {f"e{i}": {key: i for key in shapes[pick % len(shapes)]} for i, pick in enumerate(picks)}
    state = {"entities": records, "epoch": 0}
    assert k.world_state_hash("key", json.dumps(state, ensure_ascii=ensure_ascii)) == model_state_hash("key", state)


@given(payload=json_values, seq=st.integers(0, 2**64 - 1), type_=st.sampled_from(["Move", "\u00e9v\u00e9nement", ""]))
def test_sign_record_matches_the_model(payload, seq, type_):
    message = field("kest.chain.rec/1") + field(str(seq)) + field(type_) + field(canonical(payload)) + field("p")
    assert k.sign_record(b"\x00key", seq, type_, json.dumps(payload), "p") == mac(b"\x00key", message)


def test_hash_ignores_text_layout_and_reads_integral_floats_as_integers():
    compact = k.world_state_hash("k", '{"entities":{"a":{"hp":2,"tags":[]}},"epoch":1}')
    assert compact == k.world_state_hash("k", ' { "epoch" : 1.0 , "entities" : { "a" : { "tags":[ ], "hp":2e0 } } } ')
    # A repeated key keeps its last value, whatever the earlier one held.
    assert k.world_state_hash("k", '{"a":0.5,"a":1}') == k.world_state_hash("k", '{"a":1}')
    assert k.world_state_hash("key", '{"entities":{}}') == (
        "658bb97cb06e4058bd40762aa5220f3957cbfad88be49d63182124ed927a6ddf"
    )


def test_region_hash_identities():
    empty = k.world_state_hash("k", "{}")
    for regions in ("{}", "[]", "null", '"x"', "3"):
        assert k.global_region_hash("k", regions) == empty
    state = {"entities": {"e1": {"properties": {"hp": 3}, "tags": ["a"]}}}
    leaf = k.world_state_hash("k", json.dumps(state))
    assert k.global_region_hash("k", json.dumps({"r": state})) == k.world_state_hash("k", json.dumps({"r": leaf}))
    regions = {"\ue000": 1, "\U00010000": [2], "b": {}}
    leaves = {region: k.world_state_hash("k", json.dumps(value)) for region, value in regions.items()}
    assert k.global_region_hash("k", json.dumps(regions)) == model_state_hash("k", leaves)


def test_hostile_input_gives_clear_errors_or_correct_hashes():
    assert value_error(k.world_state_hash, "k", "[" * 100000 + "]" * 100000).startswith("bad state json: ")
    assert value_error(k.world_state_hash, "k", "[" + "9" * 300 + "]") == "hash: NonIntegerNumber"
    assert value_error(k.world_state_hash, "k", "[" + "9" * 400 + "]").startswith("bad state json: ")
    assert value_error(k.world_state_hash, "k", "[0." + "1" * 400 + "]") == "hash: NonIntegerNumber"
    big = {"s": "\u00e9\U0001f600" * 1_000_000}
    assert k.world_state_hash("k", json.dumps(big)) == model_state_hash("k", big)
    keys = {chr(c) * 2: c for c in range(0x20)} | {"\U0010ffff": 1, "\uffff": 2, "\ud7ff": 3, "\x7f\u2028": 4}
    assert k.world_state_hash("k", json.dumps(keys)) == model_state_hash("k", keys)


NORMALIZATION_TEST = pathlib.Path("/usr/share/unicode/NormalizationTest.txt.bz2")


def normalization_cases():
    """(text, is it NFC) from the columns c1..c5 of each line: NFC(c1) = NFC(c2) = NFC(c3) = c2 and
    NFC(c4) = NFC(c5) = c4."""
    for line in bz2.open(NORMALIZATION_TEST, "rt", encoding="utf-8"):
        line = line.split("#", 1)[0].strip()
        if not line or line.startswith("@"):
            continue
        c1, c2, c3, c4, c5 = ("".join(chr(int(cp, 16)) for cp in column.split()) for column in line.split(";")[:5])
        yield from ((c1, c1 == c2), (c2, True), (c3, c3 == c2), (c4, True), (c5, c5 == c4))


def test_nfc_test_agrees_with_the_unicode_conformance_file():
    assert NORMALIZATION_TEST.is_file(), f"missing test data: {NORMALIZATION_TEST} (Debian's unicode-data package)"
    wrong = []
    for text, is_nfc in normalization_cases():
        try:
            k.world_state_hash("k", json.dumps([text]))
            accepted = True
        except ValueError:
            accepted = False
        if accepted != is_nfc:
            wrong.append(text)
    assert wrong == []
