"""Short builders for rules AST nodes, so that the case tables read like the rules they hold."""


def lit(value) -> dict:
    return {"type": "literal", "value": value}


def dice(equation) -> dict:
    return {"type": "dice", "equation": equation}


def prop(target, name) -> dict:
    return {"type": "prop_ref", "target": target, "property": name}


def math(op, left, right) -> dict:
    return {"type": "math", "op": op, "left": left, "right": right}


def operand(source, **members) -> dict:
    return {"source": source, **members}


def compare(op, left, right) -> dict:
    return {"type": "compare", "op": op, "left": left, "right": right}


def cond(kind, value) -> dict:
    """A condition on the check's numbers: delta_gte, delta_lte or one of the nat_roll kinds."""
    return {"type": kind, "value": value}


def has_tag(target, tag) -> dict:
    return {"type": "has_tag", "target": target, "tag": tag}


def all_of(*conditions) -> dict:
    return {"type": "and", "conditions": list(conditions)}


def any_of(*conditions) -> dict:
    return {"type": "or", "conditions": list(conditions)}


ALWAYS = all_of(compare("eq", operand("literal", value=0), operand("literal", value=0)))


def change(op, target, name, value) -> dict:
    """A property mutation: set_prop, add_prop or sub_prop."""
    return {"type": op, "target": target, "property": name, "value": value}


def tagging(op, target, tag) -> dict:
    """A tag mutation: add_tag or remove_tag."""
    return {"type": op, "target": target, "tag": tag}


def when(condition, then, otherwise=None) -> dict:
    node = {"type": "if", "condition": condition, "then": then}
    if otherwise is not None:
        node["else"] = otherwise
    return node


def repeat(count, mutations) -> dict:
    return {"type": "repeat", "count": count, "mutations": mutations}


def foreach(tag, mutations, **select) -> dict:
    return {"type": "foreach_target", "select": {"tag": tag, **select}, "mutations": mutations}


def degree(condition, mutations) -> dict:
    return {"condition": condition, "mutations": mutations}


def check(roll, dc, degrees) -> dict:
    return {"type": "check", "roll": roll, "dc": dc, "degrees": degrees}


def graded(roll, dc, mutations=()) -> dict:
    """The usual four degrees: a natural 20 or a margin of 10 is critical, as is their mirror."""
    crit = any_of(cond("nat_roll_eq", 20), cond("delta_gte", 10))
    fumble = any_of(cond("nat_roll_eq", 1), cond("delta_lte", -10))
    return check(
        roll,
        dc,
        {
            "critical_success": degree(crit, list(mutations) * 2),
            "success": degree(cond("delta_gte", 0), list(mutations)),
            "failure": degree(cond("delta_lte", -1), []),
            "critical_failure": degree(fumble, []),
        },
    )


ROLL_SOURCES = ("roll", "dc", "delta", "natural")


def roll_reading_triggers() -> list:
    """Trigger lists holding a compare that reads a check's numbers, which a trigger has none of:
    each source on either side, at the top of an "if" and nested in "and", "or", an inner "if",
    an "else", a "repeat" and a "foreach_target"."""
    three = operand("literal", value=3)
    lists = []
    for source in ROLL_SOURCES:
        for reads in (compare("gte", operand(source), three), compare("lt", three, operand(source))):
            lists += [
                [when(reads, [])],
                [when(all_of(ALWAYS, reads), [change("add_prop", "actor", "n", lit(1))])],
                [when(any_of(ALWAYS, reads), [])],
                [change("add_prop", "actor", "n", dice("1d6")), when(ALWAYS, [when(reads, [])])],
                [when(any_of(), [], [when(reads, [])])],
                [repeat(2, [when(reads, [])])],
                [foreach("x", [when(all_of(any_of(reads)), [])], limit=2)],
            ]
    return lists
