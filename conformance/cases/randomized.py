"""Seeded makers of worlds and rules for the sampled topics. Rules come out mostly valid, with the
odd fault, and reach every node kind, so that sampled cases exercise dice draws, step counts,
selection order and recorded mutations together; each seed gives the same cases on every run."""

import random

from conformance.cases import SAFE, dumps
from conformance.cases.ast import (
    all_of,
    any_of,
    change,
    check,
    compare,
    cond,
    degree,
    dice,
    foreach,
    has_tag,
    lit,
    math,
    operand,
    prop,
    repeat,
    tagging,
    when,
)

IDS = ["hero", "orc", "a", "b", "10", "9", "-1", "007", "7", "\u00e9", "\ue000", "\U00010000", "z z"]
TAGS = ["x", "foe", "pc", "acts_offline", "hot", "\u00e9"]
PROPERTIES = ["hp", "ac", "gold", "str", "n"]
EQUATIONS = ["1d20", "1d6", "2d6+1", "3d4-2", "1d3", "0d6+2", "1d100", "2d10", "1d0+1", "4d2", "1d7", "1d65537"]
DEGREES = ("critical_success", "success", "failure", "critical_failure", "partial")


class RuleMaker:
    def __init__(self, rng: random.Random, in_trigger: bool, fault_rate: float = 0.005):
        self.rng = rng
        self.in_trigger = in_trigger
        self.fault_rate = fault_rate

    def _fault(self) -> bool:
        return self.rng.random() < self.fault_rate

    def target(self, in_foreach: bool) -> str:
        choices = ["actor", "self", "target", "target"] + (["each"] * 4 if in_foreach else [])
        return "each" if self._fault() else self.rng.choice(choices)

    def expr(self, depth: int, in_foreach: bool):
        roll = self.rng.random()
        if self._fault():
            return self.rng.choice([lit(SAFE + 1), dice("2d"), {"type": "bogus"}, math("pow", lit(1), lit(1))])
        if depth >= 1 or roll < 0.3:
            return lit(self.rng.choice([0, 1, 2, 5, -3, 10, SAFE, -SAFE, 12, 20]))
        if roll < 0.6:
            return dice(self.rng.choice(EQUATIONS))
        if roll < 0.75:
            return prop(self.target(in_foreach), self.rng.choice(PROPERTIES))
        op = self.rng.choice(["add", "sub", "mul", "floor_div"])
        return math(op, self.expr(depth + 1, in_foreach), self.expr(depth + 1, in_foreach))

    def operand(self, in_foreach: bool):
        sources = ["literal", "prop", "prop"] + ([] if self.in_trigger else ["roll", "dc", "delta", "natural"])
        source = self.rng.choice(sources)
        if source == "literal":
            return operand("literal", value=self.rng.randrange(-5, 25))
        if source == "prop":
            return operand("prop", target=self.target(in_foreach), property=self.rng.choice(PROPERTIES))
        return operand(source)

    def condition(self, depth: int, in_foreach: bool):
        roll = self.rng.random()
        if self._fault():
            return self.rng.choice([all_of(), {"type": "bogus"}, cond("delta_gte", 1.5), has_tag("actor", "")])
        if depth < 1 and roll < 0.15:
            parts = [self.condition(depth + 1, in_foreach) for _ in range(self.rng.randrange(1, 4))]
            return self.rng.choice([all_of, any_of])(*parts)
        if roll < 0.45:
            op = self.rng.choice(["gt", "gte", "lt", "lte", "eq", "ne"])
            return compare(op, self.operand(in_foreach), self.operand(in_foreach))
        if roll < 0.6 or self.in_trigger:
            return has_tag(self.target(in_foreach), self.rng.choice(TAGS))
        kind = self.rng.choice(["delta_gte", "delta_lte", "nat_roll_eq", "nat_roll_gte", "nat_roll_lte"])
        return cond(kind, self.rng.randrange(-10, 21))

    def mutation(self, depth: int, in_foreach: bool):
        roll = self.rng.random()
        if self._fault():
            return self.rng.choice(
                [{"type": "bogus"}, repeat(17, []), foreach("x", [], limit=0), change("add_prop", "actor", "", lit(1))]
            )
        if depth < 2 and roll < 0.1:
            return when(
                self.condition(0, in_foreach),
                self.mutations(depth + 1, in_foreach),
                self.mutations(depth + 1, in_foreach),
            )
        if depth < 2 and roll < 0.18:
            return repeat(self.rng.randrange(1, 4), self.mutations(depth + 1, in_foreach))
        if depth < 2 and roll < 0.3:
            select = {"limit": self.rng.randrange(1, 6)} if self.rng.random() < 0.6 else {}
            return foreach(self.rng.choice(TAGS), self.mutations(depth + 1, True), **select)
        if roll < 0.45:
            op = self.rng.choice(["add_tag", "remove_tag"])
            return tagging(op, self.target(in_foreach), self.rng.choice(TAGS))
        op = self.rng.choice(["set_prop", "add_prop", "sub_prop"])
        return change(op, self.target(in_foreach), self.rng.choice(PROPERTIES), self.expr(0, in_foreach))

    def mutations(self, depth: int, in_foreach: bool) -> list:
        # Nested lists stay short: their structure matters more than their length.
        return [self.mutation(depth, in_foreach) for _ in range(self.rng.randrange(0, 3 if depth == 0 else 2))]

    def check(self):
        names = self.rng.sample(DEGREES, self.rng.randrange(1, 3))
        degrees = {name: degree(self.condition(0, False), self.mutations(0, False)) for name in names}
        return check(self.expr(1, False), self.expr(1, False), degrees)


def entity(rng: random.Random) -> dict:
    properties = {
        name: rng.choice([0, 1, 5, 10, 20, -4, SAFE, -SAFE]) for name in rng.sample(PROPERTIES, rng.randrange(0, 3))
    }
    return {"properties": properties, "tags": rng.sample(TAGS, rng.randrange(0, 4))}


def world(rng: random.Random, size: int | None = None) -> dict:
    ids = rng.sample(IDS, rng.randrange(1, 6)) if size is None else [f"e{n}" for n in range(size)]
    state = {"entities": {entity_id: entity(rng) for entity_id in ids}}
    if rng.random() < 0.3:
        state["epoch"] = rng.randrange(0, 5)
    return state


def _pick_target(rng: random.Random, state: dict):
    return rng.choice([*state["entities"], None, "ghost"])


def _rule_calls(seed: int, count: int, in_trigger: bool, make_rule) -> list[tuple]:
    """State, rule, actor, target and seed of `count` calls, the rule made by `make_rule(maker)`."""
    rng = random.Random(seed)
    maker = RuleMaker(rng, in_trigger=in_trigger)
    calls = []
    for _ in range(count):
        state = world(rng)
        actor = rng.choice(list(state["entities"]))
        rule = make_rule(maker)
        calls.append((dumps(state), dumps(rule), actor, _pick_target(rng, state), rng.randrange(2**64)))
    return calls


def actions(seed: int, count: int) -> list[tuple]:
    """Arguments of `evaluate_action` calls: state, check, actor, target and seed."""
    return _rule_calls(seed, count, False, lambda maker: maker.check())


def triggers(seed: int, count: int) -> list[tuple]:
    """Arguments of `apply_triggered_mutations` calls: state, mutation list, actor, target and seed."""
    return _rule_calls(seed, count, True, lambda maker: maker.mutations(0, False) + [maker.mutation(0, False)])


def ruleset(rng: random.Random) -> dict:
    """One check, one mutation list and one broken definition, for epochs and frames; the hand
    tables reach every other kind of broken definition."""
    checks, lists = RuleMaker(rng, False, fault_rate=0.002), RuleMaker(rng, True, fault_rate=0.002)
    return {
        "strike": {"kind": "check", "check": checks.check()},
        "spell": {"kind": "mutations", "mutations": [lists.mutation(0, False)]},
        "broken": {"kind": "roll"},
    }


ACTION_IDS = ["strike", "spell", "broken", "nope", ""]


def proposal(rng: random.Random, state: dict):
    roll = rng.random()
    if roll < 0.04:
        return rng.choice([5, None, "strike0", []])
    # Mostly actions that can run; the broken, unknown and empty ids now and then.
    action_id = rng.choice(ACTION_IDS[:2] if rng.random() < 0.75 else ACTION_IDS)
    chosen = {"actionId": action_id} if roll > 0.08 else {"actionId": rng.choice([None, 3])}
    if rng.random() < 0.8:
        chosen["targetId"] = rng.choice([*state.get("entities", {}), "ghost", 5])
    return chosen
