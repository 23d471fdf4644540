"""Running a world epoch by epoch as a host does: one `tick_epoch` call per epoch, each fed the
state the previous one returned."""

import json

import kest_engine_native as k
from kest import jsontext


def tick_epoch(world_id: str, epoch: int, state, ruleset: dict, proposals: dict) -> dict:
    """The parsed output of one epoch: {"state", "event", "resolved", "rejected"}."""
    document = {"worldId": world_id, "epochNumber": epoch, "state": state, "ruleset": ruleset, "proposals": proposals}
    return json.loads(k.tick_epoch(jsontext.dumps(document)))


def live_epochs(world_id: str, state, ruleset: dict, proposals_by_epoch: dict, epochs: int):
    """Ticks epochs 1..`epochs`: the states after each (the first is `state`) and the events,
    which a host signs into its chain."""
    states, events = [state], []
    for epoch in range(1, epochs + 1):
        output = tick_epoch(world_id, epoch, states[-1], ruleset, proposals_by_epoch.get(str(epoch), {}))
        states.append(output["state"])
        events.append(output["event"])
    return states, events
