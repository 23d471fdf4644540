"""The demo's host-side tactics: what each combatant proposes, read from the world state.

Heroes with "wis" heal a badly hurt ally, heroes with "int" throw a fireball while two or more
monsters stand, everyone else strikes the weakest foe still standing; monsters strike the weakest
hero. A real host would take these choices from its players.
"""


def _tagged(state: dict, tag: str) -> list[str]:
    return sorted(entity_id for entity_id, entity in state["entities"].items() if tag in entity["tags"])


def _standing(state: dict, tag: str) -> list[str]:
    return [entity_id for entity_id in _tagged(state, tag) if "down" not in state["entities"][entity_id]["tags"]]


def _hp(state: dict, entity_id: str) -> int:
    return state["entities"][entity_id]["properties"]["hp"]


def _weakest(state: dict, ids: list[str]) -> str:
    return min(ids, key=lambda entity_id: (_hp(state, entity_id), entity_id))


def _hero_order(state: dict, hero: str, monsters: list[str]) -> dict:
    properties = state["entities"][hero]["properties"]
    if "wis" in properties:
        # A fallen ally counts as hurt too: healing lifts it back up.
        allies = _tagged(state, "hero")
        hurt = [ally for ally in allies if 2 * _hp(state, ally) <= state["entities"][ally]["properties"]["max_hp"]]
        if hurt:
            return {"actionId": "heal", "targetId": _weakest(state, hurt)}
    if "int" in properties and len(monsters) >= 2:
        return {"actionId": "fireball"}
    return {"actionId": "strike", "targetId": _weakest(state, monsters)}


def proposals(state: dict) -> dict:
    """Every standing combatant's proposal for the next epoch; none once one side has fallen."""
    heroes, monsters = _standing(state, "hero"), _standing(state, "monster")
    if not heroes or not monsters:
        return {}
    orders = {hero: _hero_order(state, hero, monsters) for hero in heroes}
    orders.update({monster: {"actionId": "strike", "targetId": _weakest(state, heroes)} for monster in monsters})
    return orders


def commands(state: dict, players: dict[str, str]) -> list[dict]:
    """One frame's commands of the players, each acting as its hero would."""
    orders = proposals(state)
    return [
        {"playerId": player, "seq": 1, **orders[entity]}
        for player, entity in sorted(players.items())
        if entity in orders
    ]
