"""The page words the engine's events as the demo does: its script, run in a real browser, against
kest.account on the events of a real campaign."""

import functools
import http.server
import json
import re
import threading

import pytest
from browser import start_chromium

from kest import account, campaign, tactics, world

PAGE = account.__file__.rsplit("/", 1)[0] + "/server/page"
EPOCHS = 8


@pytest.fixture(scope="module")
def page_origin():
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=PAGE)
    handler.log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_port}"
    server.shutdown()


@pytest.fixture(scope="module")
def chromium(page_origin):
    driver = start_chromium()
    driver.get(page_origin + "/words.js")  # any page of the origin, so that its modules can be imported
    yield driver
    driver.quit()


def in_page(driver, function: str, *arguments):
    """words.js's `function` applied to `arguments` in the browser."""
    script = (
        "const [name, args, done] = arguments;"
        "import('/words.js').then((words) => done(words[name](...JSON.parse(args))), (error) => done(String(error)));"
    )
    return driver.execute_async_script(script, function, json.dumps(arguments))


def campaign_actions() -> list[tuple[dict, str | None]]:
    """Every action of a few epochs of the default world with its target: strikes that fell foes
    (tags), heals and, every other epoch, an unknown action."""
    world_id, state = world.default_world()
    ruleset, actions = world.default_ruleset(), []
    for epoch in range(1, EPOCHS + 1):
        proposals = tactics.proposals(state) or {"aria": {"actionId": "strike", "targetId": "gob-1"}}
        # Healing an unhurt ally raises and clamps one property: a chained change.
        proposals["brom"] = (
            {"actionId": "dance"} if epoch % 2 else {"actionId": "heal", "targetId": "aria"}
        )  # refused by the engine, with its reason
        output = campaign.tick_epoch(world_id, epoch, state, ruleset, proposals)
        state = output["state"]
        for record in output["event"]["actions_processed"]:
            actions.append((record, proposals[record["actor_id"]].get("targetId")))
    return actions


def test_changes_are_worded_like_the_demo(chromium):
    actions = campaign_actions()
    assert any("reason" in record for record, _ in actions)
    applied = [record["mutations_applied"] for record, _ in actions if record.get("mutations_applied")]
    assert any(len({m["target"] for m in mutations}) > 1 for mutations in applied)
    assert any(re.search(r"->-?\d+->", account.changes(mutations)) for mutations in applied)
    for mutations in applied:
        assert in_page(chromium, "changes", mutations) == account.changes(mutations)


@pytest.mark.parametrize(
    ("record", "target", "line"),
    [
        (
            {"actor_id": "aria", "action_id": "strike", "degree": "critical_success", "mutations_applied": []},
            "gob-1",
            "aria strike -> gob-1: critical success: no change",
        ),
        (
            {"player_id": "p1", "action_id": "heal", "reason": "unknown target"},
            None,
            "p1 heal: rejected: unknown target",
        ),
    ],
)
def test_action_lines(chromium, record, target, line):
    assert in_page(chromium, "actionLine", record, target) == line
    words = in_page(chromium, "actionWords", record, target)
    assert words["rejected"] == ("reason" in record)
