"""Finding what differs when two hashes disagree: the differences between two world states, and
the first record or frame at which two histories part.

Equality here is the equality the keyed state hash sees: object member order, whitespace and an
integral float against the same integer do not count, while everything that changes the canonical
text does (a boolean against a number, the order of a tag list, -0 against 0).
"""

import json
import math
from collections.abc import Sequence
from dataclasses import dataclass

from kest import chain
from kest.bundles import state_hash
from kest.errors import Refused

ABSENT = object()  # a member one side does not have
_SHOWN_CHARACTERS = 160  # a value longer than this is cut when a finding is printed

ENTITY_ADDED = "entity added"
ENTITY_REMOVED = "entity removed"
PROPERTY_CHANGED = "property changed"
TAGS_ADDED = "tags added"
TAGS_REMOVED = "tags removed"
TAGS_REORDERED = "tags reordered"
MEMBER_CHANGED = "member changed"


def pointer(path: Sequence[str | int]) -> str:
    """A path as a JSON Pointer: "/entities/aria/properties/hp" ("~" and "/" escaped)."""
    return "".join("/" + str(step).replace("~", "~0").replace("/", "~1") for step in path)


def _shown(value) -> str:
    if value is ABSENT:
        return "(absent)"
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=False, sort_keys=True)
    return text if len(text) <= _SHOWN_CHARACTERS else text[: _SHOWN_CHARACTERS - 3] + "..."


@dataclass(frozen=True)
class Finding:
    """One difference: its kind, where it is, and the two sides (`ABSENT` for a missing member;
    for tag findings, the tags added or removed)."""

    kind: str
    path: tuple[str | int, ...]
    old: object = ABSENT
    new: object = ABSENT

    def __str__(self) -> str:
        where = f"{self.kind} {pointer(self.path)}"
        if self.kind in (ENTITY_ADDED, ENTITY_REMOVED):
            return where
        if self.kind in (TAGS_ADDED, TAGS_REMOVED):
            return f"{where}: {' '.join(json.dumps(tag, ensure_ascii=False) for tag in self.new)}"
        return f"{where}: {_shown(self.old)} -> {_shown(self.new)}"


_LOOKED_INTO = frozenset({dict, list, float})  # the kinds whose == may hide a difference


def _negative_zero(value) -> bool:
    return type(value) is float and value == 0 and math.copysign(1.0, value) < 0


def _hidden_difference(a, b) -> bool:
    """Whether two values that Python finds equal still differ canonically: Python's == takes
    true for 1 and -0.0 for 0, while it rightly takes 2.0 for 2."""
    kind = type(a)
    if kind is not type(b):
        return kind is bool or type(b) is bool or _negative_zero(a) or _negative_zero(b)
    if kind is dict:
        olds, news = list(a.values()), list(map(b.__getitem__, a))
    elif kind is list:
        olds, news = a, b
    else:
        return kind is float and _negative_zero(a) != _negative_zero(b)
    # Members that are strings, integers, booleans or null on both sides alike were settled by
    # the == already taken; the types are compared at C speed, members looked into only if needed.
    kinds = list(map(type, olds))
    if kinds == list(map(type, news)) and _LOOKED_INTO.isdisjoint(kinds):
        return False
    return any(map(_hidden_difference, olds, news))


def same(a, b) -> bool:
    """Canonical equality of two parsed JSON values. Python's == is coarser (it never tells
    apart two canonically equal values), so it settles most pairs at C speed."""
    return a == b and not _hidden_difference(a, b)


def _member_diff(a, b, path: tuple, out: list[Finding]) -> None:
    """Differences of any two values: the deepest differing members of objects, and the elements
    of arrays of one length; anything else is one change of the whole value."""
    if same(a, b):
        return
    if type(a) is dict and type(b) is dict:
        for name in sorted(a.keys() | b.keys()):
            _member_diff(a.get(name, ABSENT), b.get(name, ABSENT), (*path, name), out)
    elif type(a) is list and type(b) is list and len(a) == len(b):
        for index, (old, new) in enumerate(zip(a, b, strict=True)):
            _member_diff(old, new, (*path, index), out)
    else:
        out.append(Finding(MEMBER_CHANGED, path, a, b))


def diff_values(a, b, path: tuple = ()) -> list[Finding]:
    """The differences of two JSON values by path, in ascending member order."""
    out: list[Finding] = []
    _member_diff(a, b, path, out)
    return out


def _is_tag_list(value) -> bool:
    return type(value) is list and all(type(tag) is str for tag in value)


def _tags_diff(old, new, path: tuple, out: list[Finding]) -> None:
    if not (_is_tag_list(old) and _is_tag_list(new)):
        _member_diff(old, new, path, out)
        return
    if old == new:
        return
    removed = [tag for tag in dict.fromkeys(old) if tag not in set(new)]
    added = [tag for tag in dict.fromkeys(new) if tag not in set(old)]
    if added:
        out.append(Finding(TAGS_ADDED, path, new=added))
    if removed:
        out.append(Finding(TAGS_REMOVED, path, new=removed))
    if not added and not removed:  # the same tags, in another order or repeated: another hash
        out.append(Finding(TAGS_REORDERED, path, old, new))


def _entity_diff(old, new, path: tuple, out: list[Finding]) -> None:
    if type(old) is not dict or type(new) is not dict:
        _member_diff(old, new, path, out)
        return
    for name in sorted(old.keys() | new.keys()):
        before, after = old.get(name, ABSENT), new.get(name, ABSENT)
        if name == "properties" and type(before) is dict and type(after) is dict:
            for prop in sorted(before.keys() | after.keys()):
                old_value, new_value = before.get(prop, ABSENT), after.get(prop, ABSENT)
                if old_value is ABSENT or new_value is ABSENT or not same(old_value, new_value):
                    out.append(Finding(PROPERTY_CHANGED, (*path, name, prop), old_value, new_value))
        elif name == "tags" and before is not ABSENT and after is not ABSENT:
            _tags_diff(before, after, (*path, name), out)
        else:
            _member_diff(before, after, (*path, name), out)


def check_state(state, label: str) -> None:
    """A world state is an object whose "entities", when present, is an object."""
    if type(state) is not dict:
        raise Refused(f"{label} is not a world state: a JSON object is expected")
    if "entities" in state and type(state["entities"]) is not dict:
        raise Refused(f'{label} is not a world state: its "entities" must be an object')


def diff_states(a, b, a_label: str = "the first state", b_label: str = "the second state") -> list[Finding]:
    """The differences between two world states, in a stable order: the members in ascending
    order, the entities by id, and within an entity its members by name. Refused, naming it by its
    label, when either is not a world state."""
    check_state(a, a_label)
    check_state(b, b_label)
    out: list[Finding] = []
    for name in sorted(a.keys() | b.keys()):
        old, new = a.get(name, ABSENT), b.get(name, ABSENT)
        if name != "entities" or old is ABSENT or new is ABSENT:
            _member_diff(old, new, (name,), out)
            continue
        for entity_id in sorted(old.keys() | new.keys()):
            before, after = old.get(entity_id, ABSENT), new.get(entity_id, ABSENT)
            path = (name, entity_id)
            if before is ABSENT:
                out.append(Finding(ENTITY_ADDED, path, new=after))
            elif after is ABSENT:
                out.append(Finding(ENTITY_REMOVED, path, old=before))
            elif not same(before, after):
                _entity_diff(before, after, path, out)
    return out


@dataclass(frozen=True)
class Divergence:
    """Where two histories part: the record's seq or the frame's index, what is wrong there, and
    the differences (of the records, or of the two states)."""

    unit: str  # "seq" or "frame"
    number: int
    summary: str
    findings: tuple[Finding, ...] = ()

    def lines(self) -> list[str]:
        return [f"first divergence at {self.unit} {self.number}: {self.summary}"] + [
            f"  {finding}" for finding in self.findings
        ]


def _records_by_seq(records: Sequence[dict], label: str) -> dict[int, dict]:
    by_seq: dict[int, dict] = {}
    for record in records:
        chain.parse_record(record)
        if record["seq"] in by_seq:
            raise ValueError(f"{label} holds seq {record['seq']} twice")
        by_seq[record["seq"]] = record
    return by_seq


def _first_divergent_record(chain_a: Sequence[dict], chain_b: Sequence[dict]) -> Divergence | None:
    first, second = _records_by_seq(chain_a, "the first chain"), _records_by_seq(chain_b, "the second chain")
    for seq in sorted(first.keys() | second.keys()):
        old, new = first.get(seq), second.get(seq)
        if new is None:
            return Divergence("seq", seq, f"only the first chain holds it ({old['type']})")
        if old is None:
            return Divergence("seq", seq, f"only the second chain holds it ({new['type']})")
        if not same(old, new):
            return Divergence("seq", seq, f"the records differ ({old['type']})", tuple(diff_values(old, new)))
    return None


def _frame_of(state, index: int) -> int:
    frame = state.get("frame") if type(state) is dict else None
    return frame if type(frame) is int else index


def _first_divergent_frame(states_a: Sequence, states_b: Sequence, key: chain.Key | None) -> Divergence | None:
    for index in range(max(len(states_a), len(states_b))):
        if index >= len(states_b):
            return Divergence("frame", _frame_of(states_a[index], index), "only the first list holds it")
        if index >= len(states_a):
            return Divergence("frame", _frame_of(states_b[index], index), "only the second list holds it")
        old, new = states_a[index], states_b[index]
        if key is None:
            differs = not same(old, new)
        else:
            hashes = state_hash(key, old), state_hash(key, new)
            differs = hashes[0] != hashes[1]
        if differs:
            summary = "the states differ" if key is None else f"hashes {hashes[0]} and {hashes[1]}"
            return Divergence("frame", _frame_of(old, index), summary, tuple(diff_states(old, new)))
    return None


def _is_chain(items: Sequence) -> bool:
    return bool(items) and all(type(item) is dict and {"seq", "prevSig", "sig"} <= item.keys() for item in items)


def first_divergence(a: Sequence, b: Sequence, key: chain.Key | None = None) -> Divergence | None:
    """The first place where two histories differ, or None when they agree.

    For two chains of signed records: the first seq (ascending) held by one chain only, or whose
    records differ, with the records' differences by path. For two lists of frame states: the
    first position whose states differ, by their keyed hash when `key` is given and canonically
    otherwise, with `diff_states` of the two; it is named by the state's "frame" member when it
    has one, by its index otherwise."""
    chains = _is_chain(a), _is_chain(b)
    if a and b and chains[0] != chains[1]:
        raise ValueError("one side is a chain of records and the other a list of states")
    if any(chains):
        return _first_divergent_record(a, b)
    return _first_divergent_frame(a, b, key)
