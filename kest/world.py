"""The embedded default world and its ruleset: a small party of heroes against goblins and an ogre.

`data/world.json` holds the world id and its initial state; `data/ruleset.json` the actions: an
attack check graded into degrees ("strike"), an area effect over every monster ("fireball") and a
healing trigger ("heal").
"""

import json
from importlib import resources


def _load(name: str):
    return json.loads(resources.files("kest").joinpath("data", name).read_text(encoding="utf-8"))


def default_world() -> tuple[str, dict]:
    """The world id and the initial state."""
    document = _load("world.json")
    return document["worldId"], document["state"]


def default_ruleset() -> dict:
    return _load("ruleset.json")


def default_orders() -> dict:
    """The standing orders of the default world's actors: what each does every epoch in which
    nobody filed a proposal for it, until they are changed."""
    return _load("orders.json")
