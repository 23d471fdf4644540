"""A world's settings: its epoch period, its catch-up bound, the engine's per-tick options and
the standing orders of its actors. They travel as JSON text in the world's row."""

import math
from dataclasses import dataclass

from kest import jsontext
from kest.server.errors import BadInput
from kest.server.vetting import check_id

MAX_SAFE = 2**53 - 1
MIN_EPOCH_SECONDS = 0.001


def proposal_text(action_id: str, target_id: str | None) -> str:
    proposal = {"actionId": action_id} if target_id is None else {"actionId": action_id, "targetId": target_id}
    return jsontext.dumps(proposal)


def parse_proposal(value, entity_ids, action_ids) -> str:
    """A proposal object checked so that no tick can be wedged by it: its action is one of the
    world's and its target an existing entity. Returns its text."""
    if not isinstance(value, dict):
        raise BadInput("a proposal is an object with actionId and, optionally, targetId")
    action_id = check_id("actionId", value.get("actionId"))
    if action_id not in action_ids:
        raise BadInput(f'actionId "{action_id}" is not an action of this world')
    target_id = value.get("targetId")
    if target_id is not None:
        check_id("targetId", target_id)
        if target_id not in entity_ids:
            raise BadInput(f'targetId "{target_id}" is not an entity of this world')
    return proposal_text(action_id, target_id)


@dataclass(frozen=True)
class Settings:
    epoch_seconds: float
    max_catchup: int
    actor_tags: tuple[str, ...] | None
    max_actions: int | None
    standing_orders: dict  # entity id -> proposal text

    def text(self) -> str:
        return jsontext.dumps(
            {
                "epochSeconds": self.epoch_seconds,
                "maxCatchup": self.max_catchup,
                "actorTags": list(self.actor_tags) if self.actor_tags is not None else None,
                "maxActions": self.max_actions,
                "standingOrders": {entity: jsontext.loads(text) for entity, text in self.standing_orders.items()},
            }
        )

    def engine_options(self) -> str:
        """The tick and resume members these settings give, as text to put inside an object."""
        parts = []
        if self.actor_tags is not None:
            parts.append('"actorTags":' + jsontext.dumps(list(self.actor_tags)))
        if self.max_actions is not None:
            parts.append(f'"maxActions":{self.max_actions}')
        return "".join(part + "," for part in parts)


def _integer(value, name: str, default: int | None) -> int | None:
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= MAX_SAFE:
        raise BadInput(f"{name} must be an integer from 0 to {MAX_SAFE}")
    return value


def parse_settings(value, defaults: "Settings", entity_ids, action_ids) -> Settings:
    """Settings from a request (members left out keep `defaults`), checked against the world."""
    if value is None:
        value = {}
    if not isinstance(value, dict):
        raise BadInput("settings must be an object")
    epoch_seconds = value.get("epochSeconds", defaults.epoch_seconds)
    if (
        isinstance(epoch_seconds, bool)
        or not isinstance(epoch_seconds, int | float)
        or not math.isfinite(epoch_seconds)
        or epoch_seconds < MIN_EPOCH_SECONDS
    ):
        raise BadInput(f"epochSeconds must be a number of at least {MIN_EPOCH_SECONDS}")
    actor_tags = value.get("actorTags", defaults.actor_tags)
    if actor_tags is not None:
        if not isinstance(actor_tags, list | tuple) or not all(isinstance(tag, str) for tag in actor_tags):
            raise BadInput("actorTags must be a list of strings")
        actor_tags = tuple(check_id("an actor tag", tag) for tag in actor_tags)
    orders = value.get("standingOrders")
    if orders is None:
        standing = defaults.standing_orders
    elif isinstance(orders, dict):
        standing = {
            check_id("an entity id", entity): parse_proposal(order, entity_ids, action_ids)
            for entity, order in orders.items()
        }
        unknown = [entity for entity in standing if entity not in entity_ids]
        if unknown:
            raise BadInput(f'standing orders name "{unknown[0]}", which is not an entity of this world')
    else:
        raise BadInput("standingOrders must be an object of entity id to proposal")
    return Settings(
        epoch_seconds=float(epoch_seconds),
        max_catchup=_integer(value.get("maxCatchup"), "maxCatchup", defaults.max_catchup),
        actor_tags=actor_tags,
        max_actions=_integer(value.get("maxActions", defaults.max_actions), "maxActions", None),
        standing_orders=standing,
    )


def stored_settings(text: str) -> Settings:
    value = jsontext.loads(text)
    tags = value.get("actorTags")
    return Settings(
        epoch_seconds=value["epochSeconds"],
        max_catchup=value["maxCatchup"],
        actor_tags=tuple(tags) if tags is not None else None,
        max_actions=value.get("maxActions"),
        standing_orders={entity: jsontext.dumps(order) for entity, order in value["standingOrders"].items()},
    )
