"""Cases of the MAC, the record signature and the two state hashes, and through them of the
canonical text every signed or hashed value is first written in."""

import json
import random

from conformance.cases import DECOMPOSED_E, U64_MAX, boundary, call, dumps

# JSON texts for the value rules and the canonical form: each either has a canonical text (and so a
# signature and a hash) or names the first fault met on the way to one.
CANONICAL_TEXTS = [
    "null",
    "true",
    "false",
    "0",
    "1.0",
    "0.0",
    "-0",
    "-0.0",
    "0.5",
    "5.0",
    "9007199254740991",
    "9007199254740992",
    "18446744073709551615",
    "18446744073709551616",
    "-9007199254740991",
    "-9007199254740992",
    "-9223372036854775808",
    "-9223372036854775809",
    "9007199254740991.0",
    "9007199254740992.0",
    "1e19",
    "-1e19",
    "1e300",
    "1e400",
    "-1e400",
    "1.5e3",
    "15e-1",
    "1E2",
    '"abc"',
    '""',
    '"__proto__"',
    '"\\u0001"',
    '"\\u0000\\u000b\\u001f"',
    '"\\b\\t\\n\\f\\r\\"\\\\"',
    '"/\\/"',
    '"\\u007f\\u2028\\u2029"',
    '"\u00e9"',
    f'"{DECOMPOSED_E}"',
    '"\\u0065\\u0301"',
    '"\U0001f600"',
    '"\\ud83d\\ude00"',
    '"\u212b"',
    '"\u00c5"',
    '"\uac00"',
    '"\u1100\u1161"',
    "[]",
    "{}",
    "[true,null]",
    '{"b":1,"a":[true,null]}',
    '{"ab":1,"a":2,"b":3,"":4}',
    '{"\ue000":1,"\U00010000":2}',
    '{"\uff61":1,"\U0001f600":2,"z":3}',
    '{"a":1,"a":2}',
    '{"__proto__":1}',
    '{"a":{"__proto__":1}}',
    '{"__proto__":0.5,"a":0.5}',
    '{"a":0.5,"__proto__":1}',
    '[{"x":[{"__proto__":null}]}]',
    '{"__proto__x":1,"x__proto__":2}',
    f'{{"{DECOMPOSED_E}":1}}',
    f'{{"a":"{DECOMPOSED_E}","b":0.5}}',
    f'{{"b":"{DECOMPOSED_E}","a":0.5}}',
    '[1,0.5,"x"]',
    "[1,-0,0.5]",
    '{"n":[9007199254740992]}',
    '{"\u00e9":"\u00e9"}',
    "[" * 127 + "]" * 127,
    "[" * 128 + "]" * 128,
    "[" * 126 + "1" + "]" * 126,
    '{"a":' * 127 + "0" + "}" * 127,
    '{"a":' * 128 + "0" + "}" * 128,
    "",
    " ",
    "{",
    "[1,]",
    '{"a":1,}',
    "01",
    "1 2",
    "nul",
    "NaN",
    "Infinity",
    "'a'",
    '"\\x"',
    '"a\tb"',
    '"\\ud800"',
    "[1] ",
    " \n\t{}\r\n",
    "\ufeff{}",
]

KEYS_BYTES = [b"", b"k", b"key", b"\x00", b"\xff" * 3, bytes(range(63)), bytes(range(64)), bytes(range(65))]
KEYS_BYTES += [b"\xaa" * 131, bytes(range(256)), "server-key-\u00e9".encode()]
KEYS_TEXT = ["", "k", "key", "\u00e9", DECOMPOSED_E, "\U0001f600", "x" * 64, "x" * 65, "\x00"]

HMAC_MESSAGES = [
    "",
    "Hi There",
    "what do ya want for nothing?",
    "Test Using Larger Than Block-Size Key - Hash Key First",
    "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be"
    " hashed before being used by the HMAC algorithm.",
    "\u00e9",
    DECOMPOSED_E,
    "\U0001f600",
    "\x00",
    "a" * 55,
    "a" * 56,
    "a" * 64,
    "a" * 1000,
    '16:kest.chain.rec/11:74:move13:{"a":1,"b":2}0:',
]

HMAC = {
    "rfc4231": [
        call(b"\x0b" * 20, "Hi There"),
        call(b"Jefe", "what do ya want for nothing?"),
        call(b"\xaa" * 131, HMAC_MESSAGES[3]),
        call(b"\xaa" * 131, HMAC_MESSAGES[4]),
    ],
    "keys_and_messages": [call(key, message) for key in KEYS_BYTES for message in HMAC_MESSAGES],
    "keywords": [call(key=b"k", message="m"), call(b"k", message="m")],
    "conversion": [boundary("k", "m"), boundary(b"k", b"m"), boundary(None, "m")]
    + [boundary(b"k", None), boundary(b"k", "\ud800"), boundary(b"k", 5), boundary(1, "m")],
    "binding": [boundary(b"k"), boundary(b"k", "m", "x"), boundary(b"k", msg="m"), boundary()],
}

SIGN_TYPES = ["move", "EpochResolved", "", "\u00e9", DECOMPOSED_E, "\U0001f600", "a b\n", "__proto__"]
PREV_SIGS = ["", "genesis", "0" * 64, "f" * 64, "F" * 64, DECOMPOSED_E, "\u00e9"]
SEQS = [0, 1, 7, 9007199254740991, 9007199254740992, U64_MAX]


def _signs() -> dict:
    payload = '{"b":2,"a":1}'
    return {
        "worked_example": [call(b"k", 7, "move", payload, ""), call(b"", 7, "move", payload, "")],
        "payloads": [call(b"chain key", 3, "move", text, "prev") for text in CANONICAL_TEXTS],
        "seqs": [call(b"chain key", seq, "move", payload, "prev") for seq in SEQS],
        "types": [call(b"chain key", 1, type_, payload, "p") for type_ in SIGN_TYPES],
        "prev_sigs": [call(b"chain key", 1, "move", payload, prev) for prev in PREV_SIGS],
        "keys": [call(key, 1, "move", payload, "p") for key in KEYS_BYTES],
        # The NFC tests of the type and the previous signature come before the payload is written.
        "fault_order": [
            call(b"k", 1, DECOMPOSED_E, "0.5", ""),
            call(b"k", 1, "t", "0.5", DECOMPOSED_E),
            call(b"k", 1, DECOMPOSED_E, "{", ""),
            call(b"k", 1, "t", "{", DECOMPOSED_E),
            call(b"k", 1, DECOMPOSED_E, "null", DECOMPOSED_E),
        ],
        "keywords": [
            call(key=b"k", seq=1, type_="t", payload_json="{}", prev_sig=""),
            call(b"k", 1, "t", "{}", prev_sig=""),
        ],
        "conversion": [
            boundary("k", 1, "t", "{}", ""),
            boundary(b"k", -1, "t", "{}", ""),
            boundary(b"k", 2**64, "t", "{}", ""),
            boundary(b"k", "1", "t", "{}", ""),
            boundary(b"k", 1, None, "{}", ""),
            boundary(b"k", 1, "t", None, ""),
            boundary(b"k", 1, "t", "{}", None),
            boundary(b"k", 1, "\ud800", "{}", ""),
            boundary(b"k", 1, "t", '"\ud800"', ""),
        ],
        "binding": [
            boundary(b"k", 1, "t", "{}"),
            boundary(b"k", 1, "t", "{}", "", ""),
            boundary(b"k", 1, type="t", payload_json="{}", prev_sig=""),
        ],
    }


def _sampled_states(seed: int, count: int) -> list[str]:
    rng = random.Random(seed)
    texts = []
    for _ in range(count):
        entities = {}
        for _ in range(rng.randrange(0, 6)):
            entity_id = rng.choice(["a", "b", "10", "9", "\u00e9", "\U00010000", "\ue000", "x y"])
            properties = {rng.choice(["hp", "ac", "gold", "x"]): rng.randrange(-(2**53) + 1, 2**53) for _ in range(2)}
            entities[entity_id] = {"properties": properties, "tags": rng.sample(["b", "a", "c", "\u00e9"], 2)}
        state = {"entities": entities, "epoch": rng.randrange(0, 100)}
        # Whitespace and member order of the text never change the hash.
        texts.append(json.dumps(state, indent=rng.choice([None, 1]), ensure_ascii=rng.random() < 0.5))
    return texts


STATE_KEY = "state key"


def _large_states(seed: int, sizes: tuple) -> list[str]:
    """Whole worlds, so that a hash streams far more than one block and orders many keys."""
    rng = random.Random(seed)
    texts = []
    for size in sizes:
        ids = [rng.choice(["", "-", "\u00e9", "\ue000", "\U00010000"]) + str(rng.randrange(10**6)) for _ in range(size)]
        entities = {entity_id: {"properties": {"hp": rng.randrange(-100, 100)}, "tags": ["x"]} for entity_id in ids}
        texts.append(dumps({"entities": entities, "epoch": size}))
    return texts


def _state_hashes() -> dict:
    reordered = [
        '{"entities":{"a":{"properties":{"hp":1},"tags":[]}}}',
        '{ "entities" : { "a" : { "tags" : [ ] , "properties" : { "hp" : 1.0 } } } }',
    ]
    return {
        "documented": [call(STATE_KEY, '{"entities":{}}'), call(STATE_KEY, '{"hp":1.5}'), call(STATE_KEY, '{"hp":2.0}')]
        + [call(STATE_KEY, '{"hp":2}'), call(STATE_KEY, "{")]
        + [call(STATE_KEY, text) for text in reordered],
        "values": [call(STATE_KEY, text) for text in CANONICAL_TEXTS],
        "keys": [call(key, '{"entities":{}}') for key in KEYS_TEXT],
        "sampled": [call(STATE_KEY, text) for text in _sampled_states(4101, 120)],
        "large": [call(STATE_KEY, text) for text in _large_states(4102, (1000, 3000))],
        "keywords": [call(key="k", state_json="{}"), call("k", state_json="{}")],
        "conversion": [boundary(b"k", "{}"), boundary("k", b"{}"), boundary(None, "{}"), boundary("\ud800", "{}")]
        + [boundary("k", "\ud800")],
        "binding": [boundary("k"), boundary("k", "{}", "{}"), boundary("k", state="{}")],
    }


def _region_documents() -> list[str]:
    return [
        "{}",
        "[]",
        "null",
        "5",
        '"r"',
        '{"r":{"entities":{}}}',
        '{"r":null}',
        '{"b":{},"a":{},"10":{},"9":{}}',
        '{"\ue000":{},"\U00010000":{}}',
        '{"__proto__":{}}',
        '{"__proto__":{"x":0.5}}',
        f'{{"{DECOMPOSED_E}":{{}}}}',
        '{"a":{"x":0.5},"b":{"y":-0}}',
        '{"b":{"x":0.5},"a":{"y":-0}}',
        '{"a":{"x":9007199254740992}}',
        '{"a":{"__proto__":1}}',
        f'{{"a":"{DECOMPOSED_E}"}}',
        f'{{"z":{{"x":0.5}},"{DECOMPOSED_E}":{{}}}}',
        '{"r":{"entities":{"a":{"properties":{"hp":3},"tags":["x"]}}},"s":[1,2,3]}',
        '{"r":"' + "0" * 64 + '"}',
        "{",
        '{"r":}',
        "[" * 128 + "]" * 128,
    ]


# Region states without a canonical form, each for another reason.
UNHASHABLE = ['{"x":0.5}', '{"x":9007199254740992}', '{"x":-0.0}', '{"__proto__":1}', '"e\u0301"']
HASHABLE = ["{}", '{"entities":{}}', "[1]"]
# Ids between U+E000 and U+FFFF come before those above U+FFFF in byte order and after them in
# UTF-16 order.
HIGH_BMP_IDS = ["\ue000", "\uffff", "\ue000a", "\uf8ff", "a\ue000"]
ASTRAL_IDS = ["\U00010000", "\U0010ffff", "\U0001f600", "\U00010000a", "a\U00010000"]


def _first_failure_orders(seed: int, count: int) -> list[str]:
    """Regions documents in which several regions fail, each with another kind, among regions
    that hash, their ids mixing the two ranges so that the first failing region in byte order of
    the ids is not the first in UTF-16 order."""
    rng = random.Random(seed)
    documents = []
    while len(documents) < count:
        failing = rng.randrange(2, 5)
        ids = rng.sample(HIGH_BMP_IDS, rng.randrange(1, failing)) + rng.sample(ASTRAL_IDS, failing)
        ids = ids[:failing]
        if not any(region in HIGH_BMP_IDS for region in ids) or not any(region in ASTRAL_IDS for region in ids):
            continue
        regions = dict(zip(ids, rng.sample(UNHASHABLE, failing), strict=True))
        by_bytes = min(ids, key=lambda region: region.encode())
        by_units = min(ids, key=lambda region: region.encode("utf-16-be"))
        if regions[by_bytes] == regions[by_units]:
            continue
        for n in range(rng.randrange(0, 4)):
            regions[rng.choice(["r", "\ue001", "\U00010001", "0"]) + str(n)] = rng.choice(HASHABLE)
        members = list(regions.items())
        rng.shuffle(members)
        documents.append("{" + ",".join(f"{json.dumps(region)}:{state}" for region, state in members) + "}")
    return documents


def _region_hashes() -> dict:
    states = _sampled_states(733, 60)
    return {
        "documents": [call(STATE_KEY, text) for text in _region_documents()],
        "keys": [call(key, '{"r":{"entities":{}}}') for key in KEYS_TEXT],
        "sampled": [
            call(STATE_KEY, "{" + ",".join(f'"r{n}":{text}' for n, text in enumerate(states[i : i + 4])) + "}")
            for i in range(0, 60, 2)
        ],
        "first_failure": [call(STATE_KEY, text) for text in _first_failure_orders(4101, 60)],
        "regions_of_values": [call(STATE_KEY, '{"r":' + text + "}") for text in CANONICAL_TEXTS if text.strip()],
        # Hundreds of regions whose ids sort differently by bytes and by UTF-16 code units.
        "many_regions": [
            call(
                STATE_KEY,
                "{" + ",".join(f'"{region}":{text}' for region, text in zip(ids, states * 10, strict=False)) + "}",
            )
            for ids in (
                [f"r{n}" for n in range(300)],
                [chr(0xE000 + n) + chr(0x10000 + n) for n in range(150)] + [chr(0x10000 + n) for n in range(150)],
            )
        ],
        "keywords": [call(key="k", regions_json="{}"), call("k", regions_json="{}")],
        "conversion": [boundary(b"k", "{}"), boundary("k", None), boundary(5, "{}")],
        "binding": [boundary("k"), boundary("k", "{}", "{}"), boundary("k", regions="{}")],
    }


TABLES = {
    "hmac_sha256_hex": HMAC,
    "sign_record": _signs(),
    "world_state_hash": _state_hashes(),
    "global_region_hash": _region_hashes(),
}
