"""What `diff_states` and `first_divergence` report: a finding for every change that moves the
keyed state hash, and none for a change that does not."""

import copy
import json

import pytest

import kest_engine_native as k
from kest import chain, forensics

KEY = "forensics key"
BASE = {
    "entities": {
        "aria": {"name": "Aria", "properties": {"hp": 10, "ac": 15}, "tags": ["acts_offline", "hero"]},
        "a/b~c": {"properties": {}, "tags": []},
    },
    "flag": 1,
    "frame": 3,
}


def edited(edit) -> dict:
    state = copy.deepcopy(BASE)
    edit(state)
    return state


def aria(state: dict) -> dict:
    return state["entities"]["aria"]


@pytest.mark.parametrize(
    ("edit", "expected"),
    [
        (lambda s: s["entities"].update(ogre={"tags": []}), ["entity added /entities/ogre"]),
        (lambda s: s["entities"].pop("aria"), ["entity removed /entities/aria"]),
        (lambda s: aria(s)["properties"].update(hp=7), ["property changed /entities/aria/properties/hp: 10 -> 7"]),
        (
            lambda s: aria(s)["properties"].update(dex=2),
            ["property changed /entities/aria/properties/dex: (absent) -> 2"],
        ),
        (lambda s: aria(s)["properties"].pop("ac"), ["property changed /entities/aria/properties/ac: 15 -> (absent)"]),
        (lambda s: aria(s)["tags"].append("down"), ['tags added /entities/aria/tags: "down"']),
        (lambda s: aria(s)["tags"].remove("hero"), ['tags removed /entities/aria/tags: "hero"']),
        (
            lambda s: aria(s).update(tags=["hero", "down"]),
            ['tags added /entities/aria/tags: "down"', 'tags removed /entities/aria/tags: "acts_offline"'],
        ),
        (
            lambda s: aria(s)["tags"].reverse(),
            ['tags reordered /entities/aria/tags: ["acts_offline","hero"] -> ["hero","acts_offline"]'],
        ),
        (lambda s: aria(s).update(name="Arya"), ['member changed /entities/aria/name: "Aria" -> "Arya"']),
        (lambda s: s.update(frame=4), ["member changed /frame: 3 -> 4"]),
        (lambda s: s.update(flag=True), ["member changed /flag: 1 -> true"]),
        (lambda s: s.update(flag=-0.0), ["member changed /flag: 1 -> -0.0"]),
        (lambda s: s["entities"]["a/b~c"].update(tags="x"), ['member changed /entities/a~1b~0c/tags: [] -> "x"']),
        (lambda s: s.pop("flag"), ["member changed /flag: 1 -> (absent)"]),
        (lambda s: s.update(entities={}), ["entity removed /entities/a~1b~0c", "entity removed /entities/aria"]),
    ],
)
def test_each_kind_of_change_is_one_finding_and_moves_the_hash(edit, expected):
    after = edited(edit)
    assert [str(finding) for finding in forensics.diff_states(BASE, after)] == expected
    if "-0.0" not in expected[0]:  # negative zero has no canonical form, so no hash
        assert k.world_state_hash(KEY, json.dumps(BASE)) != k.world_state_hash(KEY, json.dumps(after))


@pytest.mark.parametrize(
    "text",
    [
        json.dumps(BASE, indent=3),
        json.dumps(dict(reversed(BASE.items()))),
        json.dumps(BASE).replace('"hp": 10', '"hp": 10.0').replace('"flag": 1', '"flag": 1e0'),
        json.dumps(edited(lambda s: aria(s).update(properties={"ac": 15, "hp": 10}))),
    ],
)
def test_canonically_equal_states_have_no_findings_and_one_hash(text):
    assert forensics.diff_states(BASE, json.loads(text)) == []
    assert k.world_state_hash(KEY, text) == k.world_state_hash(KEY, json.dumps(BASE))


@pytest.mark.parametrize(("a", "b"), [([], BASE), (BASE, {"entities": []}), ("state", BASE)])
def test_states_of_the_wrong_shape_are_refused(a, b):
    with pytest.raises(ValueError, match="is not a world state"):
        forensics.diff_states(a, b)


def signed(payloads: list) -> list[dict]:
    return chain.sign_chain(KEY, payloads)


PAYLOADS = [{"epoch_number": n, "actions": [{"degree": "hit", "hp": n}]} for n in range(4)]


@pytest.mark.parametrize(
    ("other", "expected"),
    [
        (signed(PAYLOADS), None),
        (
            signed([*PAYLOADS[:2], {"epoch_number": 2, "actions": [{"degree": "miss", "hp": 2}]}, PAYLOADS[3]]),
            ("seq", 2, "/payload/actions/0/degree"),
        ),
        (signed(PAYLOADS[:3]), ("seq", 3, None)),
        (signed(PAYLOADS)[::-1], None),  # records are paired by seq, not by line
    ],
)
def test_first_divergent_record(other, expected):
    divergence = forensics.first_divergence(signed(PAYLOADS), other)
    if expected is None:
        assert divergence is None
        return
    assert (divergence.unit, divergence.number) == expected[:2]
    if expected[2] is not None:
        assert forensics.pointer(divergence.findings[0].path) == expected[2]


def test_first_divergent_frame_names_the_frame_and_diffs_its_states():
    states = [edited(lambda s, f=f: s.update(frame=f)) for f in range(5)]
    drifted = copy.deepcopy(states)
    for state in drifted[2:]:
        aria(state)["properties"]["hp"] = 9
    for key in (None, KEY):
        divergence = forensics.first_divergence(states, drifted, key)
        assert (divergence.unit, divergence.number) == ("frame", 2)
        assert [str(f) for f in divergence.findings] == ["property changed /entities/aria/properties/hp: 10 -> 9"]
    assert forensics.first_divergence(states, copy.deepcopy(states), KEY) is None
    with pytest.raises(ValueError, match="one side is a chain"):
        forensics.first_divergence(states, signed(PAYLOADS))
