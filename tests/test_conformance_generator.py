"""The vector generator refuses a kit that breaks its promises and notices stale files, so the
checked-in vectors cannot silently drift from their tables."""

import pytest

from conformance import generate
from conformance.cases import boundary, call
from conformance.messages import MESSAGES
from kest import conformance

TINY = {
    "floor_div": {"grid": [call(7, 2), call(7, 0)], "binding": [boundary(7)]},
    "roll_die": {"keywords": [call(seed=0, sides=6)]},
}


def test_lines_carry_ids_by_topic_and_position_and_mark_boundary_cases():
    files, outcomes = generate.render(TINY)
    first, second, third = files["floor_div"].splitlines()
    assert first == '{"id":"floor_div/grid/0","function":"floor_div","args":[7,2],"kwargs":{},"expect":{"result":3}}'
    assert second == (
        '{"id":"floor_div/grid/1","function":"floor_div","args":[7,0],"kwargs":{},'
        '"expect":{"error":{"type":"ValueError","message":"floor_div by zero"}}}'
    )
    # The interpreter words its own binding errors, so only their frame is fixed here.
    assert third.startswith('{"id":"floor_div/binding/0","function":"floor_div","args":[7],"kwargs":{},')
    assert third.endswith('"}},"boundary":true}') and '{"error":{"type":"TypeError","message":"' in third
    assert files["roll_die"] == (
        '{"id":"roll_die/keywords/0","function":"roll_die","args":[],"kwargs":{"seed":0,"sides":6},'
        '"expect":{"result":2}}\n'
    )
    assert generate.render(TINY) == (files, outcomes)


@pytest.mark.parametrize("case", [call(7), call(2**63, 1), call("7", 2)])
def test_a_case_only_python_can_have_must_be_marked(case):
    with pytest.raises(generate.KitError, match="not marked as a boundary case"):
        generate.render({"floor_div": {"conversion": [case]}})


def full_kit(per_function: int, whole_request: int) -> tuple[dict, dict]:
    """Outcomes that cover every listed message, in the counts given."""
    outcomes = {}
    for function in conformance.FUNCTIONS:
        raised = [{"error": {"type": "ValueError", "message": template}} for template in MESSAGES.get(function, ())]
        count = whole_request if function in generate.WHOLE_REQUEST else per_function
        outcomes[function] = raised + [{"result": 0}] * max(0, count - len(raised))
    return {function: "x\n" * len(recorded) for function, recorded in outcomes.items()}, outcomes


def test_a_kit_that_keeps_its_promises_has_no_faults():
    files, outcomes = full_kit(generate.MIN_PER_FUNCTION, generate.MIN_PER_WHOLE_REQUEST)
    assert sum(map(len, outcomes.values())) < generate.MIN_TOTAL  # the floors alone fall short of the total
    files, outcomes = full_kit(generate.MIN_PER_FUNCTION, 3000)
    assert generate.kit_faults(files, outcomes) == []


def drop_message(files, outcomes):
    outcomes["floor_div"] = [{"result": 1}] * 60


def too_few(files, outcomes):
    outcomes["tick_frame"] = outcomes["tick_frame"][:999]


def missing_function(files, outcomes):
    del files["version"], outcomes["version"]


def oversized(files, outcomes):
    files["version"] = "x" * generate.MAX_BYTES


@pytest.mark.parametrize(
    ("damage", "fault"),
    [
        (drop_message, "floor_div: no vector raises 'floor_div by zero'"),
        (too_few, "tick_frame: 999 vectors, fewer than 1000"),
        (missing_function, "version: no cases"),
        (oversized, "bytes of vectors, not under"),
    ],
)
def test_each_broken_promise_is_named(damage, fault):
    files, outcomes = full_kit(generate.MIN_PER_FUNCTION, 3000)
    damage(files, outcomes)
    assert any(fault in line for line in generate.kit_faults(files, outcomes))


@pytest.mark.parametrize(
    ("on_disk", "stale", "extra"),
    [
        ({"a.jsonl": "1\n", "b.jsonl": "2\n"}, [], []),
        ({"a.jsonl": "1\n", "b.jsonl": "2"}, ["b"], []),
        ({"a.jsonl": "1\n"}, ["b"], []),
        ({"a.jsonl": "1\n", "b.jsonl": "2\n", "c.jsonl": ""}, [], ["c.jsonl"]),
        ({"a.jsonl": "1\r\n", "b.jsonl": "2\n", "b.txt": ""}, ["a"], []),
    ],
)
def test_stale_missing_and_extra_files_are_found(tmp_path, on_disk, stale, extra):
    for name, text in on_disk.items():
        (tmp_path / name).write_bytes(text.encode())
    assert generate.differences({"a": "1\n", "b": "2\n"}, tmp_path) == (stale, extra)
