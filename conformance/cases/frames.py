"""Cases of the frame tick and of rollback reconciliation over a window of frames."""

import random

from conformance.cases import ABSENT, DECOMPOSED_E, SAFE, boundary, call, document, dumps, entity, randomized
from conformance.cases.ast import change, lit, roll_reading_triggers
from conformance.cases.epochs import (
    CAPS,
    DRAW_RULES,
    DRAW_WORLDS,
    ID_ORDER,
    RULESET,
    SWEEP_ORDERS,
    SWEEP_STATE,
    SWEEPS,
    WORLD_IDS,
)

STATE = {
    "entities": {
        "hero": entity(["pc"]),
        "orc": entity(["foe"]),
        "10": entity(["pc"], big=SAFE),
        "a": entity(["foe", "pc"]),
    },
    "frame": 41,
    "epoch": 3,
}
PLAYERS = {"p1": "hero", "p2": "orc", "10": "10", "9": "a", "b": "hero", "empty": "", "num": 5, "obj": {}}


def command(player, seq, action_id=ABSENT, target=ABSENT, **extra) -> dict:
    members = {"playerId": player, "seq": seq, "actionId": action_id, "targetId": target} | extra
    return {name: value for name, value in members.items() if value is not ABSENT}


COMMANDS = [
    command("p1", 2, "strike", "orc"),
    command("p1", 1, "heal"),
    command("p2", 1, "strike", "hero"),
    command("10", 5, "fumble"),
    command("9", 1, "mark", "orc"),
    command("b", 1, "strike", "a"),
]


def frame(**members) -> dict:
    base = {
        "worldId": "w1",
        "frameNumber": 42,
        "state": STATE,
        "commands": COMMANDS,
        "ruleset": RULESET,
        "playerEntities": PLAYERS,
    }
    return call(document(base | members))


FRAME_NUMBERS = [0, 1, 42, SAFE, SAFE + 1, -1, -SAFE, 2**63 - 1, 2**63, 2**64, 7.0, 7.5, "7", None, True, ABSENT]
SEQ_VALUES = [0, -3, SAFE, -SAFE, SAFE + 1, -SAFE - 1, 2.0, 2.5, "1", None, True, ABSENT, 2**64]
COMMAND_SHAPES = [
    ABSENT,
    None,
    {},
    "x",
    5,
    [],
    [command("p1", 5, "heal"), command("p1", 2, "heal"), command("p1", 9, "heal")],
    [command("b", 1, "heal"), command("10", 1, "heal"), command("9", 1, "heal")],
    [command("p1", 1, "mark", "orc", note=1), command("p1", 1, "mark", "hero", note=2)],
    [command("ghost", 1, "heal"), command("empty", 1, "heal"), command("num", 1, "heal"), command("obj", 1, "heal")],
    [command("p1", 1), command("p1", 2, ""), command("p1", 3, 5), command("p1", 4, None)],
    [command("p1", 1, action_id) for action_id in RULESET] + [command("p1", 99, "nope")],
    [command("p1", 1, "fumble"), command("p1", 2, "strike", "orc")],
    [command("p1", 2, "strike", "orc")],
    [command("p1", 1, "strike", target) for target in ("orc", 5, None, "ghost", "")],
    [5],
    [None],
    [{"seq": 1}],
    [{"playerId": 5, "seq": 1}],
    [{"playerId": "p1"}],
    [{"playerId": "p1", "seq": 1}, {"seq": 2}],
    [{"seq": 1, "playerId": "p1"}, {"playerId": "p2"}],
    [{"playerId": "p1"}, {"seq": 1}],
    [{"seq": 1}, {"playerId": "p1"}],
]


DRAW_FRAMES = [*range(0, 36), 255, 256, 65536, 2**31, 2**32, 2**53 - 2, SAFE]
DRAW_STATE = {"entities": {"a": {"properties": {}, "tags": []}}}
DRAW_COMMANDS = [{"playerId": "p", "seq": 0, "actionId": "r"}]


def _draws(**members) -> dict:
    """One player rolling a wide die: its recorded value shows the first draws of the frame's generator."""
    return call(dumps({"ruleset": DRAW_RULES, "playerEntities": {"p": "a"}} | members))


def _sampled_commands(rng: random.Random, state: dict, players: list) -> list:
    commands = []
    for _ in range(rng.randrange(0, 9)):
        proposed = randomized.proposal(rng, state)
        body = proposed if isinstance(proposed, dict) else {}
        commands.append({"playerId": rng.choice(players), "seq": rng.randrange(-3, 6)} | body)
    return commands


def _sampled_frames(seed: int, count: int) -> list:
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        state = randomized.world(rng)
        ids = list(state["entities"])
        players = {f"p{n}": rng.choice(ids + ["", 5]) for n in range(rng.randrange(1, 6))}
        commands = _sampled_commands(rng, state, list(players) + ["ghost", "10", "9"])
        members = {"worldId": rng.choice(["w1", "w2", "", "\u00e9"]), "frameNumber": rng.randrange(0, 100)}
        members |= {"state": state, "commands": commands, "ruleset": randomized.ruleset(rng), "playerEntities": players}
        for cap in ("maxCommands", "maxCommandsPerPlayer"):
            if rng.random() < 0.25:
                members[cap] = rng.randrange(0, 4)
        cases.append(call(dumps(members)))
    return cases


def _large_frame(size: int, seed: int) -> dict:
    rng = random.Random(seed)
    state = randomized.world(rng, size)
    ids = list(state["entities"])
    players = {f"p{n}": entity_id for n, entity_id in enumerate(ids)}
    actions = ["strike", "heal", "mark", "fumble", "nope"]
    commands = [command(player, rng.randrange(0, 3), rng.choice(actions), rng.choice(ids)) for player in players]
    return {"state": state, "commands": commands, "playerEntities": players}


def _ordered_players(ids: list) -> dict:
    """Each player marks an entity named after itself, so the records show the order of play."""
    players = {player: "hero" for player in ids}
    commands = [command(player, seq, "mark", player) for player in ids for seq in (1, 0)]
    return frame(playerEntities=players, commands=commands)


def _sweep_commands(order: list) -> dict:
    """One player, its commands in seq order, each naming the entities "1" to "6" by number."""
    commands = []
    for seq, step in enumerate(order):
        action_id, _, target = step.partition(" ")
        commands.append(command("p", seq, action_id, target or ABSENT))
    return frame(state=SWEEP_STATE, ruleset=SWEEPS, playerEntities={"p": "1"}, commands=commands)


# Actions that set the actor's "v" to their own number, for groups of commands whose order shows
# in the state as well as in the records.
STAMPS = {f"v{n}": {"kind": "mutations", "mutations": [change("set_prop", "actor", "v", lit(n))]} for n in range(20)}


def _equal_keys_commands(rng: random.Random, group: int) -> list:
    """A group of commands of player "p1" all with seq 1, in arrival order, among commands of
    other players and of "p1" with other seqs, interleaved at random. Each command of the group
    names an action of its own (a stamp, or an unknown one that is recorded by its id)."""
    same = [command("p1", 1, f"v{n % 20}" if n % 3 else f"u{n}") for n in range(group)]
    others = [
        command(rng.choice(["p2", "10", "9", "p1"]), rng.randrange(0, 3), rng.choice(["heal", "x"]))
        for _ in range(group // 4)
    ]
    others = [other for other in others if not (other["playerId"] == "p1" and other["seq"] == 1)]
    merged, positions = list(same), sorted(rng.randrange(0, group + 1) for _ in others)
    for offset, (position, other) in enumerate(zip(positions, others, strict=True)):
        merged.insert(position + offset, other)
    return merged


def _equal_keys_frames(seed: int) -> list:
    """Groups of 17 to 200 commands equal on player and seq, which a sort that is not stable
    reorders; caps that cut a group in the middle."""
    rng = random.Random(seed)
    ruleset = RULESET | STAMPS
    cases = []
    for group in (17, 18, 24, 33, 40, 64, 100, 150, 200):
        commands = _equal_keys_commands(rng, group)
        cases.append(frame(commands=commands, ruleset=ruleset))
        cases.append(frame(commands=commands, ruleset=ruleset, maxCommandsPerPlayer=group // 2 + 1))
        cases.append(frame(commands=commands, ruleset=ruleset, maxCommands=group // 3 + 1))
    return cases


def _equal_keys_windows(seed: int) -> list:
    """Reconciliation windows whose frames hold such groups."""
    rng = random.Random(seed)
    ruleset = RULESET | STAMPS
    cases = []
    for groups in ((17, 40), (64, 17, 100), (200,), (33, 18, 24, 150)):
        by_frame = {str(42 + n): _equal_keys_commands(rng, group) for n, group in enumerate(groups)}
        to_frame = 41 + len(groups)
        for caps in ({}, {"maxCommandsPerPlayer": 20}, {"maxCommands": 12}):
            cases.append(reconcile(toFrame=to_frame, commandsByFrame=by_frame, ruleset=ruleset, **caps))
    return cases


def _tick_tables() -> dict:
    large = _large_frame(1000, 55)
    return {
        "documented": [
            call('{"worldId":"w","frameNumber":0}'),
            frame(state=5),
            frame(state=[]),
            frame(state=None),
            frame(frameNumber=SAFE),
            frame(commands=[command("p1", -3, "heal")]),
            frame(commands=[command("p1", 2.0, "heal")]),
            frame(commands={"0": command("p1", 1, "heal")}),
            frame(maxCommands=0, commands=[command("ghost", 1, "heal")]),
            frame(maxCommands=None),
            frame(maxCommands="2"),
            frame(maxCommands=2.0),
            frame(maxCommandsPerPlayer=0),
            frame(maxCommandsPerPlayer=1, commands=[command("p1", 1), command("p1", 2, "heal"), command("p1", 3, 7)]),
            frame(worldId=""),
            frame(worldId=DECOMPOSED_E, commands=[]),
            frame(frameNumber=43),
        ],
        "selection_across_commands": [_sweep_commands(order) for order in SWEEP_ORDERS],
        "player_order": [
            _ordered_players(ID_ORDER),
            _ordered_players(ID_ORDER[::-1]),
            _ordered_players(ID_ORDER[2:12]),
        ],
        "world_ids": [frame(worldId=world_id) for world_id in WORLD_IDS],
        "frame_numbers": [frame(frameNumber=number) for number in FRAME_NUMBERS],
        "seqs": [frame(commands=[command("p1", 1, "heal"), command("p2", seq, "heal")]) for seq in SEQ_VALUES],
        "commands": [frame(commands=shape) for shape in COMMAND_SHAPES],
        "per_player_caps": [frame(maxCommandsPerPlayer=cap) for cap in CAPS],
        "frame_caps": [frame(maxCommands=cap) for cap in CAPS],
        "both_caps": [frame(maxCommands=total, maxCommandsPerPlayer=each) for total in (1, 3, 5) for each in (1, 2)],
        "player_maps": [
            frame(playerEntities=players)
            for players in (ABSENT, None, [], 5, {}, {"p1": "hero"}, {"p1": "ghost", "p2": "orc"})
        ],
        "rulesets": [frame(ruleset=ruleset) for ruleset in (ABSENT, None, [], {}, {"heal": RULESET["heal"]})],
        "states": [
            frame(state=state)
            for state in ({}, {"frame": "x"}, {"entities": {}}, {"entities": []}, STATE | {"frame": 2**64})
        ],
        "fault_order": [
            frame(worldId=5, frameNumber="x"),
            frame(frameNumber=-1, commands=[{}]),
            frame(commands=[{}], maxCommandsPerPlayer=-1),
            frame(maxCommandsPerPlayer=-1, maxCommands=-1),
            frame(maxCommands=-1, worldId=DECOMPOSED_E),
            frame(frameNumber=1.5, worldId=[]),
        ],
        "documents": [
            call(text)
            for text in ("", "{", "[]", "0", "null", '{"worldId":"w","frameNumber":0} 1', "[" * 128 + "]" * 128)
        ],
        "generator_derivation": [
            _draws(worldId=world_id, frameNumber=number, state=DRAW_STATE, commands=DRAW_COMMANDS)
            for world_id in DRAW_WORLDS
            for number in DRAW_FRAMES
        ],
        "sampled": _sampled_frames(7130, 600),
        "equal_keys": _equal_keys_frames(7131),
        # Refused at validation: "invalid_action", and the next command draws what it would have.
        "roll_operands": [
            frame(
                ruleset=RULESET | {"reads": {"kind": "mutations", "mutations": mutations}},
                commands=[command("9", 0, "reads", "orc"), *COMMANDS],
            )
            for mutations in roll_reading_triggers()
        ],
        "large": [frame(**large, maxCommands=1500)],
        "keyword": [call(input_json='{"worldId":"w","frameNumber":0}')],
        "conversion": [boundary(None), boundary(b"{}"), boundary(0)],
        "binding": [boundary(), boundary("{}", "{}"), boundary(json="{}")],
    }


def reconcile(**members) -> dict:
    base = {"worldId": "w1", "correctedState": STATE, "toFrame": 44, "ruleset": RULESET, "playerEntities": PLAYERS}
    base["commandsByFrame"] = {"42": COMMANDS, "43": COMMANDS[:2], "44": [command("9", 1, "strike", "orc")]}
    return call(document(base | members))


def _at(frame_number) -> dict:
    return STATE | {"frame": frame_number}


BAD_COMMAND = [{"seq": 1}]


def _sampled_reconciles(seed: int, count: int) -> list:
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        state = randomized.world(rng)
        base = rng.randrange(0, 20)
        state["frame"] = base
        ids = list(state["entities"])
        players = {f"p{n}": rng.choice(ids) for n in range(rng.randrange(1, 4))}
        by_frame = {
            str(f): _sampled_commands(rng, state, list(players))
            for f in range(base + 1, base + 1 + rng.randrange(0, 4))
        }
        members = {"worldId": rng.choice(["w1", "w9"]), "correctedState": state, "toFrame": base + rng.randrange(0, 4)}
        members |= {"commandsByFrame": by_frame, "ruleset": randomized.ruleset(rng), "playerEntities": players}
        if rng.random() < 0.25:
            members["maxCommandsPerPlayer"] = rng.randrange(0, 3)
        cases.append(call(dumps(members)))
    return cases


def _reconcile_tables() -> dict:
    large = _large_frame(1000, 56)
    window = {str(f): COMMANDS for f in range(11, 4107, 97)}
    return {
        "documented": [
            reconcile(toFrame=41),
            reconcile(toFrame=41, worldId=DECOMPOSED_E),
            reconcile(correctedState=_at(10), toFrame=4106, commandsByFrame=window),
            reconcile(correctedState=_at(10), toFrame=4107),
            reconcile(correctedState=_at(10), toFrame=9),
            reconcile(toFrame=-1, correctedState=None),
            reconcile(toFrame=12.0),
            reconcile(correctedState=ABSENT),
            reconcile(correctedState={"entities": {}}),
            reconcile(correctedState=_at(3.0)),
            reconcile(correctedState=_at(10), toFrame=12, commandsByFrame={"11": BAD_COMMAND}),
            reconcile(
                correctedState=_at(10),
                toFrame=12,
                commandsByFrame={"9999": BAD_COMMAND, "011": BAD_COMMAND, "+12": BAD_COMMAND},
            ),
            reconcile(correctedState=_at(10), toFrame=13, commandsByFrame={}),
            reconcile(
                correctedState=_at(10), toFrame=13, commandsByFrame={"11": COMMANDS, "12": COMMANDS, "13": COMMANDS}
            ),
        ],
        "to_frames": [reconcile(toFrame=number) for number in FRAME_NUMBERS],
        "corrected_frames": [reconcile(correctedState=_at(number), toFrame=SAFE) for number in FRAME_NUMBERS]
        + [reconcile(correctedState=state) for state in (None, 5, [], "s", {}, {"frame": None})],
        "windows": [
            reconcile(correctedState=_at(base), toFrame=base + span)
            for base in (0, 100, SAFE - 4096)
            for span in (0, 1, 2, 4097)
        ]
        + [reconcile(correctedState=_at(SAFE), toFrame=SAFE), reconcile(correctedState=_at(SAFE - 1), toFrame=SAFE)],
        "command_keys": [
            reconcile(commandsByFrame=shape)
            for shape in (
                ABSENT,
                None,
                [],
                5,
                {"42": {}},
                {"42": "x"},
                {"42": BAD_COMMAND},
                {"45": BAD_COMMAND},
                {"41": BAD_COMMAND},
                {"042": BAD_COMMAND},
            )
        ]
        + [
            reconcile(commandsByFrame={"43": [{"playerId": "p1"}], "42": BAD_COMMAND}),
            reconcile(commandsByFrame={"44": BAD_COMMAND}, maxCommands=-1),
        ]
        + [reconcile(commandsByFrame={"43": [command("p1", seq, "heal")]}) for seq in SEQ_VALUES],
        "caps": [reconcile(maxCommandsPerPlayer=cap) for cap in CAPS] + [reconcile(maxCommands=cap) for cap in CAPS],
        "world_ids": [reconcile(worldId=world_id) for world_id in WORLD_IDS],
        "fault_order": [
            reconcile(worldId=5, toFrame="x"),
            reconcile(toFrame="x", correctedState=None),
            reconcile(toFrame=-1, correctedState=None),
            reconcile(correctedState=None, toFrame=0),
            reconcile(correctedState=_at(50), toFrame=40),
            reconcile(toFrame=5000, commandsByFrame={"43": BAD_COMMAND}),
            reconcile(commandsByFrame={"43": BAD_COMMAND}, maxCommandsPerPlayer=-1),
            reconcile(maxCommands=-1, worldId=DECOMPOSED_E),
        ],
        "documents": [call(text) for text in ("", "{", "[]", "0", "null", '{"worldId":"w"}]', "[" * 128 + "]" * 128)],
        "generator_derivation": [
            _draws(
                worldId=world_id,
                correctedState=DRAW_STATE | {"frame": base},
                toFrame=base + span,
                commandsByFrame={str(base + span): DRAW_COMMANDS},
            )
            for world_id in DRAW_WORLDS
            for base in (0, 7, SAFE - 3)
            for span in (0, 1, 2, 3)
        ],
        "sampled": _sampled_reconciles(7240, 770),
        "equal_keys": _equal_keys_windows(7241),
        "large": [
            reconcile(
                correctedState=large["state"] | {"frame": 0},
                toFrame=3,
                playerEntities=large["playerEntities"],
                commandsByFrame={"2": large["commands"]},
            ),
        ],
        "keyword": [call(input_json='{"worldId":"w","correctedState":{"frame":0},"toFrame":0}')],
        "conversion": [boundary(None), boundary(b"{}"), boundary(0)],
        "binding": [boundary(), boundary("{}", "{}"), boundary(input="{}")],
    }


TABLES = {"tick_frame": _tick_tables(), "reconcile_frames": _reconcile_tables()}
