"""The world states the benchmarks run on, all from one generator: entities "e0", "e1", ... each
with a non-ASCII name, eight integer properties and three tags, a share of them also carrying an
actor tag. The same arguments always give the same world."""

import json
import random

NAMES = ["Ærwyn", "Björn", "Zoë", "Łucja", "Renée", "Søren", "Ξένια", "Миша", "太郎", "Đặng"]
# Each property with the range its values are drawn from. The ability scores stay small, so that
# a d20 check plus one of them against a middling dc goes either way.
PROPERTIES = {
    "hp": (20, 400),
    "str": (-1, 5),
    "dex": (-1, 5),
    "con": (-1, 5),
    "wis": (-1, 5),
    "ac": (10, 20),
    "level": (1, 20),
    "xp": (0, 5000),
}
TAGS = ["npc", "hostile", "undead", "merchant", "flying", "scenery", "beast"]


def entity_id(index: int) -> str:
    return f"e{index}"


def world(entities: int, *, actor_tag: str = "acts_offline", actor_fraction: float = 0.0, seed: int = 0) -> dict:
    """A world of `entities` entities; round(entities * actor_fraction) of them, spread evenly
    over the ids, also carry `actor_tag`."""
    rng = random.Random(seed)
    actors = round(entities * actor_fraction)
    actor_indices = {i * entities // actors for i in range(actors)}

    def entity(index: int) -> dict:
        tags = rng.sample(TAGS, 3) + ([actor_tag] if index in actor_indices else [])
        return {
            "name": f"{rng.choice(NAMES)} {index}",
            "properties": {name: rng.randint(low, high) for name, (low, high) in PROPERTIES.items()},
            "tags": sorted(tags),
        }

    return {"entities": {entity_id(i): entity(i) for i in range(entities)}, "epoch": 0, "frame": 0}


def actors(state: dict, actor_tag: str = "acts_offline") -> list[str]:
    """The ids of the entities that carry `actor_tag`, in the order they were made."""
    return [id_ for id_, entity in state["entities"].items() if actor_tag in entity["tags"]]


def entities_for_bytes(size: float) -> int:
    """About how many entities it takes for a world's JSON text to be `size` bytes long."""
    sample = 2_000
    return round(size / len(json.dumps(world(sample), ensure_ascii=False).encode()) * sample)


# The action the tick benchmarks run: a d20 plus strength against 12; a hit costs the target a d6
# of hp and tags it, and earns the actor xp; a miss tires the actor.
ATTACK = {
    "kind": "check",
    "check": {
        "type": "check",
        "roll": {
            "type": "math",
            "op": "add",
            "left": {"type": "dice", "equation": "1d20"},
            "right": {"type": "prop_ref", "target": "actor", "property": "str"},
        },
        "dc": {"type": "literal", "value": 12},
        "degrees": {
            "success": {
                "condition": {"type": "delta_gte", "value": 0},
                "mutations": [
                    {
                        "type": "sub_prop",
                        "target": "target",
                        "property": "hp",
                        "value": {"type": "dice", "equation": "1d6"},
                    },
                    {"type": "add_tag", "target": "target", "tag": "wounded"},
                    {"type": "add_prop", "target": "actor", "property": "xp", "value": {"type": "literal", "value": 1}},
                ],
            },
            "failure": {
                "condition": {"type": "delta_lte", "value": -1},
                "mutations": [
                    {
                        "type": "add_prop",
                        "target": "actor",
                        "property": "fatigue",
                        "value": {"type": "literal", "value": 1},
                    }
                ],
            },
        },
    },
}
