"""Cases of the two rule entry points, `evaluate_action` (a check) and `apply_triggered_mutations`
(a bare mutation list). Most tables hold rule fragments (expressions, conditions, mutation lists,
states) that both entry points meet; each fragment is placed where each entry point reaches it."""

from conformance.cases import ASTRAL, DECOMPOSED_E, SAFE, boundary, call, dumps, randomized
from conformance.cases.ast import (
    ALWAYS,
    all_of,
    any_of,
    change,
    check,
    compare,
    cond,
    degree,
    dice,
    foreach,
    graded,
    has_tag,
    lit,
    math,
    operand,
    prop,
    repeat,
    roll_reading_triggers,
    tagging,
    when,
)

WORLD = {
    "entities": {
        "hero": {"properties": {"hp": 10, "str": 3, "big": SAFE}, "tags": ["pc", "acts_offline", "x"]},
        "orc": {"properties": {"hp": 8, "low": -SAFE}, "tags": ["foe", "x"]},
        "10": {"properties": {"hp": 1}, "tags": ["x", "foe"]},
        "9": {"properties": {}, "tags": ["y"]},
        "a": {"properties": {"hp": 4}, "tags": ["x", 3, "c", "a", "c"]},
        "b": {"properties": {"hp": 5}, "tags": "x"},
        "\ue000": {"properties": {"hp": 6}, "tags": ["x"]},
        ASTRAL: {"properties": {"hp": 7}, "tags": ["x"]},
    },
    "epoch": 4,
    "note": {"kept": [1.5, "as is"]},
}


def _action(rule, state=WORLD, actor="hero", target="orc", seed=0) -> tuple:
    return (dumps(state), dumps(rule), actor, target, seed)


def _names(label_node) -> list:
    """Fragments carrying a property or tag name through every clean-name rule."""
    names = ["", "__proto__", "__proto__x", "n" * 256, "n" * 257, ASTRAL * 128, ASTRAL * 128 + "n", DECOMPOSED_E]
    return [label_node(name) for name in names + ["\u00e9", 5, None]]


DICE_EQUATIONS = [
    "2d6",
    "2d6+3",
    "2d6-3",
    "+2d6",
    "02d06",
    "0d6",
    "3d0",
    "1d0+10",
    "2.5d6",
    "2d6.0",
    "2.5",
    "d6",
    "2d",
    "2D6",
    "2d+6",
    "2d6+",
    "2d6+-1",
    "2d6+3+1",
    "2dd6",
    " 2d6",
    "2d6 ",
    "101d6",
    "-1d6",
    "1d100001",
    "100d100000",
    "100d6",
    "1d6+9007199254740985",
    "1d6+9007199254740986",
    "1d6-9007199254740991",
    "1d6-9007199254740992",
    "0d6+9007199254740991",
    "0d6-9007199254740991",
    "100d100000+9007199254730991",
    "100d100000+9007199254730992",
    "99999999999999999999d6",
    "1d6+99999999999999999999",
    "",
    "d",
    "1x6",
    "1d6x",
    "1 d6",
    "\u0661d6",
    "00d6",
    "1d6++1",
    "1d6--1",
    "--1d6",
    "+-1d6",
    "-0d6",
    "1d1",
    "1d2",
    "1d20",
    "4d6-2",
    "1d6+0",
    "3d100000",
    "1d4294967296",
    "0d100001",
    "100d0",
    "1d6-",
    "1d6+ 1",
    "1d-6",
]

EXPRESSIONS = (
    [
        lit(0),
        lit(SAFE),
        lit(-SAFE),
        lit(SAFE + 1),
        lit(-SAFE - 1),
        lit(7.0),
        lit(7.5),
        lit(-0.0),
        lit("7"),
        lit(None),
        {"type": "literal"},
        lit([1]),
        lit(1e300),
        lit(2**64 - 1),
        lit(2**64),
        lit(True),
        {"type": "dice", "equation": 6},
        {"type": "dice"},
        prop("actor", "hp"),
        prop("self", "hp"),
        prop("target", "hp"),
        prop("each", "hp"),
        prop("me", "hp"),
        prop(5, "hp"),
        {"type": "prop_ref", "target": "actor"},
        prop("actor", "missing"),
        prop("actor", "big"),
        math("add", lit(SAFE), lit(SAFE)),
        math("mul", lit(SAFE), lit(SAFE)),
        math("sub", lit(-SAFE), lit(1)),
        math("add", lit(SAFE), lit(0)),
        math("sub", lit(0), lit(SAFE)),
        math("mul", lit(-3), lit(7)),
        math("floor_div", lit(-7), lit(2)),
        math("floor_div", lit(7), lit(-2)),
        math("floor_div", lit(-7), lit(-2)),
        math("floor_div", lit(7), lit(2)),
        math("floor_div", lit(5), lit(0)),
        math("floor_div", lit(-SAFE), lit(-1)),
        math("pow", lit(1), lit(2)),
        math("pow", {"type": "bogus"}, lit(2)),
        {"type": "math", "left": lit(1), "right": lit(2)},
        {"type": "math", "op": 5, "left": lit(1), "right": lit(2)},
        {"type": "math", "op": "add", "left": lit(1)},
        math("add", {"type": "variable"}, lit(1)),
        math("add", dice("1d6"), dice("1d8")),
        math("sub", dice("2d6"), prop("target", "hp")),
        {"value": 1},
        {"type": 5},
        5,
        "literal",
        [],
        None,
        {"type": "variable"},
        {"type": "Literal", "value": 1},
    ]
    + [dice(equation) for equation in DICE_EQUATIONS]
    + _names(lambda name: prop("actor", name))
)


def _nested_math(depth: int) -> dict:
    node = lit(1)
    for _ in range(depth):
        node = math("add", node, lit(1))
    return node


def _nested_and(depth: int) -> dict:
    node = cond("delta_gte", 0)
    for _ in range(depth):
        node = all_of(node)
    return node


def _nested_repeat(depth: int, body: list) -> list:
    mutations = body
    for _ in range(depth):
        mutations = [repeat(1, mutations)]
    return mutations


# Expressions that read the target, for calls that supply none.
TARGET_READS = [
    prop("target", "hp"),
    prop("actor", "hp"),
    math("sub", dice("2d6"), prop("target", "hp")),
    math("add", prop("self", "hp"), prop("target", "missing")),
]

LIT = operand("literal", value=3)
OPERANDS = [
    LIT,
    operand("literal", value=SAFE + 1),
    operand("literal", value=2.5),
    operand("literal"),
    operand("prop", target="actor", property="hp"),
    operand("prop", target="target", property="hp"),
    operand("prop", target="each", property="hp"),
    operand("prop", target=7, property="hp"),
    operand("prop", target="actor"),
    operand("prop", target="nobody", property="hp"),
    operand("prop", target="actor", property=""),
    operand("roll"),
    operand("dc"),
    operand("delta"),
    operand("natural"),
    operand("random"),
    operand(3),
    {"value": 3},
    3,
]

CONDITIONS = (
    [
        cond(kind, value)
        for kind in ("delta_gte", "delta_lte", "nat_roll_eq", "nat_roll_gte", "nat_roll_lte")
        for value in (0, 1, 20, -SAFE, 7.0, 7.5, "1", None, SAFE + 1)
    ]
    + [compare(op, left, LIT) for op in ("gt", "gte", "lt", "lte", "eq", "ne") for left in OPERANDS]
    + [compare(op, operand("roll"), operand("dc")) for op in ("gte", "ge", "", None, 5)]
    + [{"type": "compare", "left": {"bogus": 1}, "right": LIT}, compare("eq", LIT, operand("natural"))]
    + [compare("eq", LIT, operand("bogus")), compare("eq", LIT, operand("prop", target="actor", property=5))]
    + [all_of(), any_of(), all_of(ALWAYS, cond("delta_gte", 0)), any_of(cond("delta_gte", 100), ALWAYS)]
    + [{"type": "and", "conditions": {}}, {"type": "or", "conditions": None}, {"type": "and"}, {"type": "or"}]
    + [any_of(cond("delta_gte", 0), {"type": "bogus"}), all_of(cond("delta_gte", 1000), {"type": 5})]
    + [
        has_tag(target, tag)
        for target in ("actor", "self", "target", "each", "nobody", 3)
        for tag in ("pc", "x", "zzz")
    ]
    + [{"type": "has_tag", "target": "actor"}, has_tag("actor", 3)]
    + _names(lambda name: has_tag("actor", name))
    + [{"type": "always"}, {"type": 1}, {}, None, [], "delta_gte", _nested_and(16), _nested_and(17)]
)

HIT = change("sub_prop", "target", "hp", dice("1d6"))
MUTATION_LISTS = (
    [
        [],
        [
            change(op, target, "hp", lit(5))
            for op in ("set_prop", "add_prop", "sub_prop")
            for target in ("actor", "self", "target")
        ],
        [change("add_prop", "actor", "new_prop", lit(5))],
        [change("set_prop", "actor", "hp", lit(-SAFE))],
        [change("add_prop", "actor", "big", lit(1))],
        [change("sub_prop", "orc", "low", lit(1))],
        [change("sub_prop", "target", "low", lit(1))],
        [change("add_prop", "actor", "big", lit(0)), change("sub_prop", "target", "low", lit(-SAFE))],
        [change("set_prop", "each", "hp", lit(1))],
        [change("set_prop", "nobody", "hp", lit(1))],
        [change("set_prop", 5, "hp", lit(1))],
        [{"type": "set_prop", "target": "actor", "value": lit(1)}],
        [{"type": "set_prop", "target": "actor", "property": "hp"}],
        [{"type": "add_prop", "property": "hp", "value": lit(1)}],
        [tagging("add_tag", "target", "b")],
        [tagging("add_tag", "actor", "acts_offline")],
        [tagging("remove_tag", "actor", "pc")],
        [tagging("add_tag", "a", "b")],
        [tagging("remove_tag", "a", "c")],
        [tagging("add_tag", "b", "z")],
        [tagging("remove_tag", "b", "x")],
        [tagging("add_tag", "nobody", "z")],
        [tagging("remove_tag", "nobody", "z")],
        [tagging("add_tag", "actor", ASTRAL), tagging("add_tag", "actor", "\ue000")],
        [{"type": "add_tag", "target": "actor"}],
        [{"type": "remove_tag", "target": "actor", "tag": 1}],
        [{"type": "add_tag", "tag": "t"}],
        [when(ALWAYS, [change("add_prop", "actor", "hp", lit(1))])],
        [when(any_of(), [change("add_prop", "actor", "hp", lit(1))])],
        [when(any_of(), [], [tagging("add_tag", "actor", "else")])],
        [when(ALWAYS, [])],
        [{"type": "if", "condition": ALWAYS, "then": [], "else": None}],
        [{"type": "if", "condition": ALWAYS}],
        [{"type": "if", "condition": ALWAYS, "then": {}}],
        [{"type": "if", "then": []}],
        [when(has_tag("target", "foe"), [HIT], [tagging("add_tag", "target", "spared")])],
        [
            when(
                has_tag("target", "pc"),
                [change("set_prop", "target", "hp", prop("nobody", "hp"))],
                [change("set_prop", "target", "hp", prop("target", "hp"))],
            )
        ],
        [repeat(3, [change("add_prop", "actor", "hp", lit(1))])],
        *[
            [repeat(count, [change("add_prop", "actor", "hp", lit(1))])]
            for count in (0, 1, 16, 17, -1, 3.0, 3.5, "3", None, SAFE + 1)
        ],
        [{"type": "repeat", "count": 2}],
        [{"type": "repeat", "count": 2, "mutations": {}}],
        [foreach("x", [change("add_prop", "each", "hp", lit(1))])],
        [foreach("x", [tagging("add_tag", "each", "hit")], limit=2)],
        *[
            [foreach("x", [change("add_prop", "each", "hp", lit(1))], limit=limit)]
            for limit in (0, 1, 32, 33, -1, 2.0, 2.5, None, "2")
        ],
        [{"type": "foreach_target", "mutations": []}],
        [{"type": "foreach_target", "select": [], "mutations": []}],
        [{"type": "foreach_target", "select": {"limit": 2}, "mutations": []}],
        [foreach("", [])],
        [foreach(5, [])],
        [foreach("__proto__", [])],
        [{"type": "foreach_target", "select": {"tag": "x"}}],
        [{"type": "foreach_target", "select": {"tag": "x"}, "mutations": 5}],
        [foreach("zzz", [change("add_prop", "each", "hp", lit(1))])],
        [foreach("x", [tagging("remove_tag", "each", "x"), tagging("add_tag", "9", "x")])],
        [
            foreach(
                "foe",
                [
                    foreach("x", [change("add_prop", "each", "seen", lit(1))], limit=3),
                    change("add_prop", "each", "outer", lit(1)),
                ],
            )
        ],
        [foreach("x", [change("set_prop", "each", "hp", math("add", prop("each", "hp"), dice("1d4")))], limit=4)],
        [change("add_prop", "actor", "hp", prop("each", "hp"))],
        [repeat(16, [foreach("x", [change("add_prop", "each", "hp", lit(1))], limit=32)])],
        [repeat(2, [repeat(16, [foreach("x", [change("add_prop", "each", "hp", lit(1))], limit=32)])])],
        [repeat(16, [foreach("x", [repeat(2, [change("add_prop", "each", "hp", lit(1))])], limit=32)])],
        [repeat(16, [foreach("x", [repeat(3, [change("add_prop", "each", "hp", lit(1))])], limit=32)])],
        [repeat(16, [repeat(16, [foreach("x", [], limit=5)])])],
        [repeat(16, [repeat(16, [change("add_prop", "actor", "n", lit(1))] * 4)])],
        [repeat(16, [repeat(16, [change("add_prop", "actor", "n", lit(1))] * 5)])],
        [repeat(16, [repeat(16, [change("add_prop", "actor", "n", lit(1))] * 4)]), tagging("add_tag", "actor", "t")],
        [repeat(10, [change("add_prop", "actor", "n", dice("100d6"))])],
        [repeat(10, [change("add_prop", "actor", "n", dice("100d6"))]), change("add_prop", "actor", "n", dice("1d6"))],
        _nested_repeat(16, []),
        _nested_repeat(17, []),
        _nested_repeat(16, [change("add_prop", "actor", "n", lit(1))]),
        [when(ALWAYS, _nested_repeat(15, [])), when(ALWAYS, _nested_repeat(16, []))],
        [change("set_prop", "actor", "v", _nested_math(16))],
        [change("set_prop", "actor", "v", _nested_math(17))],
        # The node budget runs out inside an expression before its depth limit is reached.
        [change("add_prop", "actor", "n", lit(1))] * 120 + [change("set_prop", "actor", "v", _nested_math(17))],
        [change("add_prop", "actor", "n", lit(1))] * 128,
        [change("add_prop", "actor", "n", lit(1))] * 129,
        [{"type": "unknown"}],
        [{"kind": "set_prop"}],
        [5],
        [None],
        [{"type": "Set_prop"}],
        [{"type": 1}],
    ]
    + _names(lambda name: [change("set_prop", "actor", name, lit(1))])
    + _names(lambda name: [tagging("add_tag", "actor", name)])
)

# The lists that name the target somewhere, for calls that supply none: each fails only if the
# node naming it runs.
TARGETED_LISTS = [mutations for mutations in MUTATION_LISTS if '"target":"target"' in dumps(mutations)]

STATES = [
    WORLD,
    {},
    {"entities": {}},
    {"entities": []},
    {"entities": None},
    [],
    None,
    5,
    "world",
    {"entities": {"hero": 5, "orc": {"properties": {"hp": 8}, "tags": []}}},
    {"entities": {"hero": {"tags": ["x"]}, "orc": {"properties": []}}},
    {"entities": {"hero": {"properties": {"hp": 7.0}}, "orc": {"properties": {"hp": 7.5}}}},
    {"entities": {"hero": {"properties": {"hp": SAFE + 1}}, "orc": {"properties": {"hp": "x"}}}},
    {"entities": {"hero": {"properties": {"hp": -SAFE - 1}}, "orc": {"properties": {"hp": [1]}}}},
    {"entities": {"hero": {"properties": {"hp": 1e300}}, "orc": {"properties": {"hp": None}}}},
    {"entities": {"hero": {"properties": {"hp": 2**64 - 1}}, "orc": {"properties": {"hp": -0.0}}}},
    {"entities": {"hero": {"properties": "x", "tags": {}}, "orc": {"tags": None}}},
]
# Every mutation kind over every state shape, so runtime faults of each shape are met.
STATE_PROBES = [
    [change("add_prop", "actor", "hp", lit(1))],
    [change("set_prop", "target", "hp", lit(1))],
    [change("sub_prop", "new", "hp", lit(1))],
    [tagging("add_tag", "actor", "t")],
    [tagging("remove_tag", "target", "x")],
    [foreach("x", [change("add_prop", "each", "hp", lit(1))])],
    [when(has_tag("actor", "x"), [tagging("add_tag", "actor", "yes")], [tagging("add_tag", "actor", "no")])],
    [change("set_prop", "actor", "copy", prop("target", "hp"))],
]

# Entities a tag selection must pick from exactly: numeric-looking ids (visited in UTF-16 order, not
# by value), a repeated tag, near-miss tags, and members that are not entities at all.
SELECTION_STATE = {
    "entities": {
        "9": {"properties": {}, "tags": ["x"]},
        "10": {"properties": {}, "tags": ["x", "x"]},
        "-1": {"properties": {}, "tags": ["x"]},
        "B": {"properties": {}, "tags": ["X", "x "]},
        "a": {"properties": {}, "tags": [["x"], {"x": 1}, None]},
        "b": {"properties": {}, "tags": None},
        "c": 5,
        "\ue000": {"properties": {}, "tags": ["y", "x"]},
        "\U00010000": {"properties": {}, "tags": ["x"]},
    }
}
VISIT = change("add_prop", "each", "visits", lit(1))
# Run with actor "b" (untagged) and target "a" (no string tags), so the rules can tag them.
SELECTIONS = [
    [foreach("x", [VISIT])],
    *([foreach("x", [VISIT], limit=limit)] for limit in (1, 3, 6, 7)),
    [tagging("add_tag", "target", "x"), foreach("x", [VISIT])],
    [foreach("x", [tagging("remove_tag", "each", "x")], limit=1), foreach("x", [VISIT])],
    [foreach("x", [tagging("remove_tag", "each", "x"), foreach("x", [VISIT])], limit=2)],
    [foreach("x", [tagging("add_tag", "actor", "x")]), foreach("x", [VISIT])],
    [foreach("y", [foreach("x", [VISIT], limit=2), change("add_prop", "each", "outer", lit(1))])],
    [foreach("x ", [VISIT]), foreach("X", [VISIT])],
]

ATTACK = graded(dice("1d20+5"), lit(15), [HIT])


def _crowd(size: int) -> dict:
    """A world of `size` + 1 entities, one of them tagged. The others need not be objects to count:
    the selection refuses an oversized scan before reading any."""
    entities = {str(n): 0 for n in range(size)}
    entities["hero"] = {"properties": [], "tags": ["x"]}
    return {"entities": entities}


# The tagged entity's "properties" is not an object, so a scan that passes the entity count fails
# right after it, and the at-limit case needs no copy of the crowd in its outcome.
CROWD_LIST = [foreach("x", [change("add_prop", "each", "hp", lit(1))])]


def _check_with(mutations, condition=ALWAYS) -> dict:
    return check(lit(10), lit(10), {"success": degree(condition, mutations)})


def _evaluate_tables() -> dict:
    def action(*args, **kwargs):
        return call(*_action(*args, **kwargs))

    checks_of_nodes = [
        check(lit(1), lit(1), {}),
        check(lit(1), lit(1), None),
        check(lit(1), lit(1), []),
        {"type": "check", "roll": lit(1), "dc": lit(1)},
        {"type": "Check"},
        {"roll": lit(1)},
        [],
        None,
        5,
        "check",
        check(lit(10), lit(10), {"success": degree(cond("delta_gte", 0), [])}),
        check(lit(9), lit(10), {"success": degree(cond("delta_gte", 0), [])}),
        check(
            lit(10),
            lit(10),
            {
                "critical_success": degree(ALWAYS, [tagging("add_tag", "actor", "crit")]),
                "success": degree(ALWAYS, [tagging("add_tag", "actor", "ok")]),
            },
        ),
        check(
            lit(10),
            lit(10),
            {
                "success": degree(ALWAYS, [tagging("add_tag", "actor", "ok")]),
                "failure": degree(ALWAYS, [tagging("add_tag", "actor", "bad")]),
            },
        ),
        check(lit(10), lit(10), {"partial": degree(ALWAYS, [tagging("add_tag", "actor", "p")])}),
        check(lit(10), lit(10), {"partial": degree({"type": "bogus"}, [])}),
        check(
            lit(10),
            lit(10),
            {"success": degree({"type": "bad_success"}, []), "failure": degree({"type": "bad_failure"}, [])},
        ),
        check(
            lit(10),
            lit(10),
            {"critical_failure": degree({"type": "bad_cf"}, []), "critical_success": degree({"type": "bad_cs"}, [])},
        ),
        check(lit(10), lit(10), {"success": {"mutations": []}}),
        check(lit(10), lit(10), {"success": {"condition": ALWAYS}}),
        check(lit(10), lit(10), {"success": degree(ALWAYS, {})}),
        check(lit(10), lit(10), {"success": 5}),
        check(lit(SAFE), lit(-1), {}),
        check(lit(-SAFE), lit(1), {}),
        check(lit(SAFE), lit(0), {}),
        check(lit(-SAFE), lit(0), {}),
        check(dice("1d0+10"), lit(5), {"success": degree(cond("nat_roll_eq", 0), [])}),
        check(lit(20), dice("1d20"), {"success": degree(cond("nat_roll_gte", 1), [])}),
        check(lit(20), lit(1), {"success": degree(compare("gte", operand("natural"), LIT), [])}),
        check(lit(10), lit(10), {"success": degree(ALWAYS, [HIT])}),
        check(lit(10), lit(10), {"failure": degree(ALWAYS, [HIT])}),
        check(lit(10), lit(10), {"success": degree(ALWAYS, [change("add_prop", "actor", "hp", dice("2d6"))])}),
        check(lit(10), lit(11), {"success": degree(ALWAYS, [change("add_prop", "each", "hp", lit(1))])}),
        check(
            math("add", dice("1d20"), prop("actor", "str")),
            math("add", lit(10), prop("target", "hp")),
            {"success": degree(compare("gte", operand("roll"), operand("dc")), [HIT])},
        ),
    ]
    seeds = [0, 1, 2, 3, 42, 2**63, 2**64 - 1] + list(range(100, 160))
    return {
        "checks": [action(rule) for rule in checks_of_nodes],
        "attack_seeds": [action(ATTACK, seed=seed) for seed in seeds],
        "roll_expressions": [
            action(_check_with([], cond("delta_gte", -SAFE)) | {"roll": node}) for node in EXPRESSIONS
        ],
        "dc_expressions": [action(_check_with([]) | {"dc": node}) for node in EXPRESSIONS],
        "no_target": [
            action(_check_with([change("set_prop", "actor", "v", node)]), target=None) for node in TARGET_READS
        ],
        "conditions": [
            action(_check_with([tagging("add_tag", "actor", "matched")], condition)) for condition in CONDITIONS
        ],
        "mutation_lists": [action(_check_with(mutations)) for mutations in MUTATION_LISTS],
        "selection": [
            action(_check_with(mutations), state=SELECTION_STATE, actor="b", target="a") for mutations in SELECTIONS
        ],
        "unselected_lists": [action(_check_with(mutations, any_of())) for mutations in MUTATION_LISTS],
        "states": [action(_check_with(mutations), state=state) for state in STATES for mutations in STATE_PROBES],
        "node_budget": [
            action(_check_with([change("add_prop", "actor", "n", lit(1))] * count)) for count in (126, 127)
        ],
        "actors": [
            action(ATTACK, actor=actor, target=target, seed=7)
            for actor in ("hero", "orc", "", "ghost", DECOMPOSED_E)
            for target in ("orc", "hero", None, "", "ghost")
        ],
        "crowd": [action(_check_with(CROWD_LIST), state=_crowd(65536))],
        "documents": [
            call("{", dumps(ATTACK), "hero"),
            call(dumps(WORLD), "{", "hero"),
            call("{", "{", "hero"),
            call("", "", "hero"),
            call(dumps(WORLD), "[" * 128 + "]" * 128, "hero"),
            call(dumps(WORLD), dumps(ATTACK) + " x", "hero"),
            call(dumps(WORLD), dumps(ATTACK), "hero"),
            call(dumps(WORLD), dumps(ATTACK), "hero", None),
            call(dumps(WORLD), dumps(ATTACK), "hero", None, 0),
            call(state_json=dumps(WORLD), check_json=dumps(ATTACK), actor="hero", target="orc", seed=5),
            call(dumps(WORLD), dumps(ATTACK), "hero", seed=9),
            call(dumps(WORLD), dumps(ATTACK), "hero", target="orc"),
        ],
        "sampled": [call(*args) for args in randomized.actions(5150, 550)],
        "conversion": [
            boundary(dumps(WORLD), dumps(ATTACK), "hero", "orc", -1),
            boundary(dumps(WORLD), dumps(ATTACK), "hero", "orc", 2**64),
            boundary(dumps(WORLD), dumps(ATTACK), "hero", 5),
            boundary(dumps(WORLD), dumps(ATTACK), None),
            boundary(dumps(WORLD).encode(), dumps(ATTACK), "hero"),
            boundary(dumps(WORLD), dumps(ATTACK), "\ud800"),
            boundary(dumps(WORLD), dumps(ATTACK), "hero", "orc", "1"),
        ],
        "binding": [
            boundary(dumps(WORLD), dumps(ATTACK)),
            boundary(dumps(WORLD), dumps(ATTACK), "hero", "orc", 0, 1),
            boundary(dumps(WORLD), dumps(ATTACK), "hero", rng=1),
            boundary(dumps(WORLD), dumps(ATTACK), "hero", actor="hero"),
        ],
    }


def _trigger_tables() -> dict:
    def trigger(*args, **kwargs):
        return call(*_action(*args, **kwargs))

    seeds = [0, 1, 42, 2**64 - 1] + list(range(200, 240))
    volley = [foreach("x", [HIT | {"target": "each"}], limit=4), change("add_prop", "actor", "spent", dice("2d6"))]
    context_faults = [when(condition, []) for condition in CONDITIONS]
    return {
        "volley_seeds": [trigger(volley, seed=seed) for seed in seeds],
        "expressions": [trigger([change("set_prop", "actor", "v", node)]) for node in EXPRESSIONS],
        "conditions": [trigger(mutations) for mutations in ([node] for node in context_faults)],
        "roll_operands": [trigger(mutations) for mutations in roll_reading_triggers()],
        "mutation_lists": [trigger(mutations) for mutations in MUTATION_LISTS],
        "selection": [trigger(mutations, state=SELECTION_STATE, actor="b", target="a") for mutations in SELECTIONS],
        "not_a_list": [
            trigger(rule) for rule in ({}, None, 5, "x", {"mutations": []}, change("add_prop", "actor", "hp", lit(1)))
        ],
        "states": [trigger(mutations, state=state) for state in STATES for mutations in STATE_PROBES],
        "no_target": [trigger(mutations, target=None) for mutations in TARGETED_LISTS],
        "actors": [
            trigger(volley, actor=actor, target=target, seed=3)
            for actor in ("hero", "", "ghost")
            for target in ("orc", None, "ghost")
        ],
        "crowd": [trigger(CROWD_LIST, state=_crowd(size)) for size in (65535, 65536)],
        "documents": [
            call("{", "[]", "hero"),
            call(dumps(WORLD), "{", "hero"),
            call("{", "{", "hero"),
            call(dumps(WORLD), "[]", "hero"),
            call(dumps(WORLD), dumps(volley), "hero"),
            call(dumps(WORLD), dumps(volley), "hero", None, 0),
            call(state_json=dumps(WORLD), mutations_json=dumps(volley), actor="hero", target="orc", seed=5),
            call(dumps(WORLD), "[" * 128 + "]" * 128, "hero"),
        ],
        "sampled": [call(*args) for args in randomized.triggers(6160, 550)],
        "conversion": [
            boundary(dumps(WORLD), "[]", "hero", "orc", -1),
            boundary(dumps(WORLD), "[]", "hero", b"orc"),
            boundary(dumps(WORLD), [], "hero"),
            boundary(dumps(WORLD), "[]", 7),
            boundary(dumps(WORLD), "[]", "hero", None, None),
        ],
        "binding": [
            boundary(dumps(WORLD), "[]"),
            boundary(dumps(WORLD), "[]", "hero", "orc", 0, 0),
            boundary(dumps(WORLD), "[]", "hero", check="[]"),
        ],
    }


TABLES = {"evaluate_action": _evaluate_tables(), "apply_triggered_mutations": _trigger_tables()}
