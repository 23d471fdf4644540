"""Session resume: a large world resumed with a long chain tail and with one half as long (the
cost must grow linearly with the tail), and next to what resume cannot avoid: hashing the
snapshot and signing every tail record, done with the module's own functions."""

import json
import pathlib
import sys

from timing import best_times
from worlds import actors, entity_id, world

# The host package from a source checkout too; an installed one is found first.
sys.path.append(str(pathlib.Path(__file__).resolve().parent.parent))
import kest_engine_native as k  # noqa: E402
from kest.bundles import suspend  # noqa: E402
from kest.chain import sign_chain  # noqa: E402

KEY = "bench key"
WORLD_ID = "bench"
ACTORS_PER_EPOCH = 4


def epoch_events(state: dict, tail: int) -> list[dict]:
    """The "EpochResolved" events of epochs 1 to tail, as the epoch tick writes them: in each, a
    few actors hit a target."""
    acting = actors(state)
    return [epoch_event(epoch, acting, state["entities"]) for epoch in range(1, tail + 1)]


def epoch_event(epoch: int, acting: list[str], entities: dict) -> dict:
    actions = []
    for n in range(ACTORS_PER_EPOCH):
        actor = acting[(epoch * ACTORS_PER_EPOCH + n) % len(acting)]
        target = entity_id((epoch * 7919 + n * 104729) % len(entities))
        hp, xp = entities[target]["properties"]["hp"], entities[actor]["properties"]["xp"]
        actions.append(
            {
                "action_id": "attack",
                "actor_id": actor,
                "degree": "success",
                "mutations_applied": [
                    {"op": "sub_prop", "target": target, "property": "hp", "previous": hp, "next": hp - epoch % 7},
                    {"op": "add_tag", "target": target, "tag": "wounded"},
                    {"op": "add_prop", "target": actor, "property": "xp", "previous": xp, "next": xp + 1},
                ],
            }
        )
    return {"actions_processed": actions, "epoch_number": epoch, "event_type": "EpochResolved", "pcg_steps_consumed": 8}


def resume_text(state: dict, tail: int) -> str:
    records = sign_chain(KEY, epoch_events(state, tail))
    bundle = suspend(KEY, WORLD_ID, state, records, 0)
    return json.dumps({"key": KEY, "bundle": bundle, "currentEpoch": tail, "maxCatchup": 0})


def run(quick: bool) -> list[tuple[str, str]]:
    entities, tail, runs = (1_000, 200, 3) if quick else (5_000, 2_000, 9)
    state = world(entities, actor_fraction=0.1)
    long_text = resume_text(state, tail)
    short_text = resume_text(state, tail // 2)
    assert json.loads(k.resume_session(long_text))["state"]["epoch"] == tail

    state_text = json.dumps(state)
    payload_texts = [json.dumps(event) for event in epoch_events(state, tail)]

    def hash_and_sign():
        k.world_state_hash(KEY, state_text)
        prev_sig = "genesis"
        for seq, payload in enumerate(payload_texts):
            prev_sig = k.sign_record(KEY.encode(), seq, "EpochResolved", payload, prev_sig)

    long_resume, short_resume, checks = best_times(
        runs, lambda: k.resume_session(long_text), lambda: k.resume_session(short_text), hash_and_sign
    )
    return [
        ("workload", f"{entities} entities, tails of {tail} and {tail // 2} records"),
        (f"resume, tail of {tail} (ms)", f"{long_resume * 1e3:.1f}"),
        (f"resume, tail of {tail // 2} (ms)", f"{short_resume * 1e3:.1f}"),
        (f"state hash + {tail} sign_record calls (ms)", f"{checks * 1e3:.1f}"),
        (f"resume {tail} / resume {tail // 2} (limit 2.3)", f"{long_resume / short_resume:.2f}"),
        (f"resume {tail} / hash + signatures (limit 3)", f"{long_resume / checks:.2f}"),
    ]
