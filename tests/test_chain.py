"""The host package's chains and bundles: what it verifies in Python must be what the engine's
resume accepts, finding for finding, and what it builds must resume."""

import copy
import json

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import kest_engine_native as k
from kest import bundles, chain, jsontext

KEY = "chain key"
SAFE = 9007199254740991
RECORDS = chain.sign_chain(
    KEY, [{"epoch_number": n, "actions_processed": [], "pcg_steps_consumed": 0} for n in (1, 2, 3)]
)


def resume_tail(records: list[dict]) -> str:
    """The engine's verdict on `records` as the whole tail of a freshly sealed and bound bundle."""
    bundle = bundles.suspend(KEY, "w", {"entities": {}}, records, 0)
    try:
        k.resume_session(bundles.resume_input(KEY, bundle, SAFE, 0))
    except ValueError as refusal:
        return str(refusal)
    return "resumed"


def python_verdict(records: list[dict]) -> str:
    try:
        parsed = [chain.parse_record(json.loads(jsontext.dumps(record))) for record in records]
    except ValueError as failure:
        return str(failure)
    return "resumed" if chain.verify(KEY, parsed) == [] else "world-session: chain tamper detected in tail"


values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-1, max_value=2**64),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(max_size=3),
    st.sampled_from(
        ["e\u0301", "\u00e9", chain.GENESIS, RECORDS[0]["sig"], RECORDS[1]["sig"], RECORDS[0]["sig"].upper()]
    ),
)


@settings(max_examples=300, deadline=None)
@given(index=st.integers(0, 2), member=st.sampled_from(["seq", "type", "payload", "prevSig", "sig"]), value=values)
def test_python_verification_agrees_with_resume(index, member, value):
    records = copy.deepcopy(RECORDS)
    if member == "payload":
        records[index]["payload"]["pcg_steps_consumed"] = value
    else:
        records[index][member] = value
    # The seal names the last signature; one that cannot be sealed never reaches the tail checks.
    assume(isinstance(records[-1]["sig"], str) and chain.is_nfc(records[-1]["sig"]))
    assert python_verdict(records) == resume_tail(records)


def test_the_genuine_chain_resumes():
    assert python_verdict(RECORDS) == resume_tail(RECORDS) == "resumed"


def edit(index: int, **members):
    return lambda records: records[index].update(members)


def resign(index: int, prev_sig: str):
    """Replaces a record by one genuinely signed, but over a wrong link."""
    original = RECORDS[index]
    record = chain.sign(KEY, index, original["type"], original["payload"], prev_sig)
    return lambda records: records.__setitem__(index, record)


def untouched(records):
    pass


@pytest.mark.parametrize(
    ("tamper", "seal", "findings"),
    [
        (untouched, (3, RECORDS[2]["sig"]), []),
        # One changed record is one finding: the next link is judged against its stored signature.
        (edit(1, payload={"changed": 1}), None, [("EpochResolved", 1, "BadSignature")]),
        (resign(1, "elsewhere"), None, [("EpochResolved", 1, "BrokenLink"), ("EpochResolved", 2, "BrokenLink")]),
        (
            edit(1, prevSig="elsewhere"),
            None,
            [("EpochResolved", 1, "BadSignature"), ("EpochResolved", 1, "BrokenLink")],
        ),
        # A signature that cannot be computed is not judged on its link.
        (edit(0, type="e\u0301", prevSig="x"), None, [("e\u0301", 0, "BadSignature")]),
        (edit(2, sig=RECORDS[2]["sig"].upper()), None, [("EpochResolved", 2, "BadSignature")]),
        (untouched, (4, RECORDS[2]["sig"]), [("(seal)", 4, "SealMismatch")]),
        (untouched, (3, RECORDS[1]["sig"]), [("(seal)", 3, "SealMismatch")]),
    ],
)
def test_findings_in_order(tamper, seal, findings):
    records = copy.deepcopy(RECORDS)
    tamper(records)
    chain_seal = chain.seal(KEY, *seal) if seal else None
    found = chain.verify(KEY, records, chain.GENESIS, chain_seal)
    assert [(finding.label, finding.seq, finding.reason) for finding in found] == findings


def test_an_empty_chain_and_its_seal():
    assert chain.verify(KEY, [], "g", chain.seal(KEY, 0, "g")) == []
    assert [str(finding) for finding in chain.verify(KEY, [], "g", chain.seal(KEY, 0, "h"))] == [
        "SealMismatch: (seal) seq 0"
    ]
    assert [str(finding) for finding in chain.verify("other key", [], "g", chain.seal(KEY, 0, "g"))] == [
        "SealMismatch: (seal) seq 0"
    ]


@pytest.mark.parametrize("event_index", [0, 2, 3])
def test_a_suspended_bundle_resumes_with_its_tail(event_index):
    state = {"entities": {}, "epoch": event_index}
    bundle = bundles.suspend(KEY, "w", state, RECORDS, event_index)
    assert len(bundle["chainTail"]) == 3 - event_index
    output = json.loads(k.resume_session(bundles.resume_input(KEY, bundle, 5, 1)))
    assert (output["state"]["epoch"], output["epochsResolved"], output["epochsVoided"]) == (4, 1, 1)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (("e\u0301", "h", 0, "g", 0, "g"), "bundle worldId is not NFC"),
        (("w", "h", 0, "e\u0301", 0, "g"), "bundle tailGenesis is not NFC"),
        (("w", "h", 0, "g", 0, "e\u0301"), "bundle seal head is not NFC"),
    ],
)
def test_a_binding_over_text_that_is_not_nfc_is_refused(arguments, message):
    with pytest.raises(ValueError, match=message):
        bundles.bind_message(*arguments)


def test_suspend_refuses_an_event_index_beyond_the_chain():
    with pytest.raises(ValueError, match="event index 4 is outside a chain of 3 records"):
        bundles.suspend(KEY, "w", {"entities": {}}, RECORDS, 4)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        (
            '{"seq": 0, "type": "t", "payload": null, "prevSig": "", "sig": ""}\n\n{"seq": 1}',
            "line 3: record missing type",
        ),
        ("[1]", "line 1: record missing seq"),
        ('{"seq": 0, "type": "t", "payload": NaN, "prevSig": "", "sig": ""}', "line 1: NaN is not a JSON value"),
        ('{"seq": 0, "type": "\\ud800", "payload": 1, "prevSig": "", "sig": ""}', "line 1: a string holds a lone"),
    ],
)
def test_reading_a_chain_names_the_faulty_line(text, message):
    with pytest.raises(ValueError, match=message):
        chain.read_chain(text)


def test_negative_zero_keeps_its_meaning():
    """The engine reads -0 as a float with no canonical form; reading it as 0 would let a record
    whose 0 was rewritten to -0 pass as authentic."""
    record = chain.sign(KEY, 0, "t", {"n": 0}, chain.GENESIS)
    rewritten = chain.read_chain(jsontext.dumps(record).replace('"n":0', '"n":-0'))
    assert [finding.reason for finding in chain.verify(KEY, rewritten)] == ["BadSignature"]


@pytest.mark.parametrize("text", ["a\u2028b", "a\u2029b", "a\x85b"])
def test_a_written_chain_reads_back_whatever_its_strings_hold(text):
    # Only a line feed ends a line: other line breaks stand unescaped inside written strings.
    records = chain.sign_chain(KEY, [{"name": text}, text])
    assert chain.read_chain(chain.chain_lines(records)) == records
