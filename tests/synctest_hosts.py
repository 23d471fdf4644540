"""Hosts for the sync test's own tests, importable by the child interpreters it starts: one
deterministic, two that are not in the ways real hosts are not."""

import itertools
import json

MONSTERS = [f"m{n}" for n in range(12)]
_asked = itertools.count()


def world() -> dict:
    monsters = {id_: {"properties": {"hp": 40, "ac": 10}, "tags": ["monster"]} for id_ in MONSTERS}
    return {"entities": {"hero": {"properties": {"hp": 30, "atk": 5}, "tags": ["hero"]}, **monsters}}


def _strikes(targets) -> list[dict]:
    return [{"playerId": "p1", "seq": seq, "actionId": "strike", "targetId": id_} for seq, id_ in enumerate(targets)]


def steady(frame: int, state_text: str) -> list[dict]:
    return _strikes(sorted(json.loads(state_text)["entities"].keys() & set(MONSTERS)))


def set_ordered(frame: int, state_text: str) -> list[dict]:
    """The strikes numbered in a set's order, which follows PYTHONHASHSEED."""
    return _strikes(set(MONSTERS))


def drifting(frame: int, state_text: str) -> list[dict]:
    """Each time it is asked, the strikes start one monster further on."""
    start = next(_asked) % len(MONSTERS)
    return _strikes(MONSTERS[start:] + MONSTERS[:start])
