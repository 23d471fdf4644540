"""What a world accepts before it is created, and what a player may name.

A ruleset is vetted by running each action once through the engine on a one-entity world: a
check with `evaluate_action`, a mutation list with `apply_triggered_mutations`. The engine's own
validation runs first in both, so a rule it would refuse at every tick is refused here, in its
words, and never reaches a tick. Nothing is added to the engine for this.
"""

import unicodedata

import kest_engine_native as k
from kest import jsontext
from kest.server.errors import BadInput

MAX_ID_UNITS = 256
_VETTING_ENTITY = "vetting"
_VETTING_STATE = jsontext.dumps({"entities": {_VETTING_ENTITY: {"properties": {}, "tags": []}}})


def check_id(what: str, value) -> str:
    """An id a request names: a non-empty NFC string of at most 256 UTF-16 units, never "__proto__"."""
    if not isinstance(value, str) or not value:
        raise BadInput(f"{what} must be a non-empty string")
    if len(value.encode("utf-16-le")) // 2 > MAX_ID_UNITS:
        raise BadInput(f"{what} is longer than {MAX_ID_UNITS} UTF-16 units")
    if value == "__proto__":
        raise BadInput(f"{what} must not be __proto__")
    if not unicodedata.is_normalized("NFC", value):
        raise BadInput(f"{what} is not in NFC (normalize to NFC first)")
    return value


def vet_action(action_id: str, definition) -> None:
    check_id("an action id", action_id)
    kind = definition.get("kind") if isinstance(definition, dict) else None
    try:
        if kind == "check":
            k.evaluate_action(_VETTING_STATE, jsontext.dumps(definition.get("check")), _VETTING_ENTITY, _VETTING_ENTITY)
        elif kind == "mutations":
            rule = jsontext.dumps(definition.get("mutations"))
            k.apply_triggered_mutations(_VETTING_STATE, rule, _VETTING_ENTITY, _VETTING_ENTITY)
        else:
            raise BadInput(f'action "{action_id}": its kind must be "check" or "mutations"')
    except BadInput:
        raise
    except ValueError as refusal:
        raise BadInput(f'action "{action_id}": {refusal}') from None


def vet_ruleset(ruleset) -> None:
    if not isinstance(ruleset, dict) or not ruleset:
        raise BadInput("a ruleset is an object of at least one action")
    for action_id, definition in ruleset.items():
        vet_action(action_id, definition)


def vet_state(key: str, state) -> str:
    """The state's keyed hash; a state the engine could not hash or tick is refused."""
    if not isinstance(state, dict) or not isinstance(state.get("entities"), dict):
        raise BadInput('a world state is an object whose "entities" is an object')
    for entity_id in state["entities"]:
        check_id("an entity id", entity_id)
    try:
        return k.world_state_hash(key, jsontext.dumps(state))
    except ValueError as refusal:
        raise BadInput(f"the world state cannot be hashed: {refusal}") from None
