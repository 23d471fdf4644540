"""Short readable lines about what the engine did: action records, state changes, hashes."""

from kest_engine_native import MUTATION_OPS

# Unpacked rather than indexed: an operation the engine adds stops this import until the
# lines below know whether it edits a tag.
SET_PROP, ADD_PROP, SUB_PROP, ADD_TAG, REMOVE_TAG = MUTATION_OPS


def short(signature: str) -> str:
    """A hash or signature cut to its first ten digits, enough to tell two apart by eye."""
    return signature[:10] + ".."


def changes(mutations: list[dict]) -> str:
    """The applied mutations grouped by entity, e.g. "gob-1 hp 9->2 +down -acts_offline"; successive
    changes of one property are chained ("hp 3->11->22"). As replay does, only the two tag operations
    are told apart: any other op, one that a newer engine records included, shows the property write
    it recorded."""
    parts: dict[str, list[str]] = {}
    last_property: dict[str, str] = {}
    for mutation in mutations:
        target, entity_parts = mutation["target"], parts.setdefault(mutation["target"], [])
        op = mutation.get("op")
        if op in (ADD_TAG, REMOVE_TAG):
            entity_parts.append(("+" if op == ADD_TAG else "-") + mutation["tag"])
            last_property.pop(target, None)
        elif last_property.get(target) == mutation["property"]:
            entity_parts[-1] += f"->{mutation.get('next')}"
        else:
            entity_parts.append(f"{mutation['property']} {mutation.get('previous', '?')}->{mutation.get('next')}")
            last_property[target] = mutation["property"]
    return "; ".join(f"{target} {' '.join(texts)}" for target, texts in parts.items())


def action_line(record: dict, target: str | None) -> str:
    """One processed proposal or command: who, what, on whom, the degree and the changes."""
    who = record.get("actor_id") or record["player_id"]
    aim = f"-> {target}" if target else ""
    if "reason" in record:
        return f"  {who:<6} {record['action_id']:<8} {aim:<9} rejected: {record['reason']}"
    line = f"  {who:<6} {record['action_id']:<8} {aim:<9} {record['degree']:<16} {changes(record['mutations_applied'])}"
    return line.rstrip()


def counts(records: list[dict]) -> str:
    rejected = sum("reason" in record for record in records)
    return f"{len(records) - rejected} resolved, {rejected} rejected"
