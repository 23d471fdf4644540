"""The ValueError messages each function documents and can reach, with {placeholders} for the
parts that vary. The generator refuses a kit in which one of them is never raised.

Messages a function cannot reach through its module call are left out: a rule that passed
validation never meets "AST: math op missing", a missing "each" binding or a dice total out of
range at evaluation, and the serialisers cannot fail for the values they write. Resume builds its
binding over the world id, so a world id that catch-up would refuse never gets that far.
"""

import re

# DepthExceeded needs nesting beyond 256 levels, which no JSON text the parser accepts (127 at
# most) can carry, so no function reaches it.
CANON_KINDS = ("NonIntegerNumber", "UnsafeInteger", "NegativeZero", "ForbiddenKey", "NonNfc")

NAME_RULES = (
    "AST: {label} name must be a non-empty string",
    'AST: {label} name "__proto__" is forbidden',
    "AST: {label} name exceeds max length 256",
    "AST: {label} name is not NFC (normalize first)",
)
NAMED_RULES = tuple(rule.replace("{label}", label) for rule in NAME_RULES for label in ("property", "tag"))

# Messages of a rule, whether it is a check or a trigger list.
RULE_MESSAGES = NAMED_RULES + (
    "AST: node budget exceeded (max 256)",
    "AST: expression exceeds max depth 16",
    "AST: malformed expression node",
    "AST: dice equation must be a string",
    "AST: unknown math op: {op}",
    "AST: prop_ref target must be a string",
    "AST: prop_ref property must be a string",
    "AST: literal must be a JS-safe integer: {n}",
    "AST: unknown expression node type: {type}",
    "AST: math result must be a JS-safe integer: {n}",
    "AST: target ref each is only valid inside a foreach_target body",
    "AST: unknown target ref: {ref}",
    "AST: action references target but none supplied",
    "AST: malformed compare operand",
    "AST: compare prop operand target must be a string",
    "AST: compare prop operand property must be a string",
    "AST: compare literal operand must be a JS-safe integer: {n}",
    "AST: unknown compare operand source: {source}",
    "AST: dice equation must be a decimal-free string: {s}",
    "AST: invalid dice equation: {s}",
    "AST: dice out of bounds: {s}",
    "AST: dice modifier/result out of safe-integer range: {s}",
    "AST: total dice count exceeds budget 1000",
    "AST: property must be a JS-safe integer: {n}",
    "AST: degree condition exceeds max depth 16",
    "AST: malformed degree condition",
    "AST: or condition requires a conditions array",
    "AST: and requires a non-empty conditions array",
    "AST: unknown compare op: {op}",
    "AST: has_tag target must be a string",
    "AST: tag must be a string",
    "AST: unknown degree condition: {type}",
    "AST: mutations must be an array",
    "AST: mutation structure exceeds max depth 16",
    "AST: malformed mutation node",
    "AST: mutation target must be a string",
    "AST: property must be a string",
    "AST: if.then must be a mutation array",
    "AST: if.else must be a mutation array",
    "AST: repeat count must be an integer in 1..16",
    "AST: applied-mutation budget exceeded (max 1024): repeat multiplicity {m}",
    "AST: applied-mutation budget exceeded (max 1024): foreach_target multiplicity {m}",
    "AST: applied-mutation budget exceeded (max 1024)",
    "AST: repeat.mutations must be an array",
    "AST: foreach_target.select must be an object",
    "AST: tag name must be a non-empty string",
    "AST: foreach_target select.limit must be an integer in 1..32",
    "AST: foreach_target.mutations must be an array",
    "AST: unknown mutation node type: {type}",
    "AST: mutated property must be a JS-safe integer: {n}",
    "AST: state.entities must be an object",
    "AST: entity must be an object",
    "AST: entity.properties must be an object",
    "AST: world entity count {n} exceeds MAX_WORLD_ENTITIES (65536) at foreach_target select",
    "bad state json: {}",
)

CHECK_ONLY = (
    "AST: expected a check node",
    "AST: check.degrees must be an object",
    "AST: delta must be a JS-safe integer: {n}",
    "bad check json: {}",
) + tuple(
    f"AST: {label} must be a JS-safe integer: {{n}}"
    for label in ("delta_gte", "delta_lte", "nat_roll_eq", "nat_roll_gte", "nat_roll_lte")
)

TRIGGER_ONLY = (
    "bad mutations json: {}",
    *(
        f"AST: compare operand source {source} is not valid in trigger context"
        for source in ("roll", "dc", "delta", "natural")
    ),
    *(
        f"AST: {kind} is not valid in trigger context"
        for kind in ("delta_gte", "delta_lte", "nat_roll_eq", "nat_roll_gte", "nat_roll_lte")
    ),
)

EPOCH_TICK = (
    "world-epoch: worldId must be a string",
    "world-epoch: maxActions must be a non-negative JS-safe integer",
    "world-epoch: non-NFC world_id (normalize to NFC first)",
)

FRAME_COMMANDS = (
    "world-frame: worldId must be a string",
    "world-frame: every command needs a string playerId",
    "world-frame: every command needs a JS-safe-integer seq",
    "world-frame: maxCommandsPerPlayer must be a non-negative JS-safe integer",
    "world-frame: maxCommands must be a non-negative JS-safe integer",
    "world-frame: non-NFC world_id (normalize to NFC first)",
)

CATCH_UP = EPOCH_TICK + (
    "world-epoch: bad catchup input json: {}",
    "world-epoch: currentEpoch must be an integer",
    "world-epoch: currentEpoch must be a JS-safe integer",
    "world-epoch: maxCatchup must be an integer",
    "world-epoch: maxCatchup must be a non-negative JS-safe integer",
    "world-epoch: state.epoch must be a JS-safe integer",
)

MESSAGES = {
    "floor_div": ("floor_div by zero", "floor_div overflow (i64::MIN / -1)"),
    "sign_record": (
        "invalid payload JSON: {}",
        *(f"non-canonicalizable payload: {kind}" for kind in CANON_KINDS),
    ),
    "world_state_hash": ("bad state json: {}", *(f"hash: {kind}" for kind in CANON_KINDS)),
    "global_region_hash": ("bad regions json: {}", *(f"region hash: {kind}" for kind in CANON_KINDS)),
    "evaluate_action": RULE_MESSAGES + CHECK_ONLY,
    "apply_triggered_mutations": RULE_MESSAGES + TRIGGER_ONLY,
    "tick_epoch": EPOCH_TICK
    + (
        "world-epoch: bad tick input json: {}",
        "world-epoch: epochNumber must be an integer",
        "world-epoch: epoch_number must be a JS-safe integer",
    ),
    "catch_up_epochs": CATCH_UP,
    "tick_frame": FRAME_COMMANDS
    + (
        "world-frame: bad input json: {}",
        "world-frame: frameNumber must be an integer",
        "world-frame: frameNumber must be a non-negative JS-safe integer",
    ),
    "reconcile_frames": FRAME_COMMANDS
    + (
        "world-frame: bad reconcile input json: {}",
        "world-frame: toFrame must be an integer",
        "world-frame: toFrame must be a non-negative JS-safe integer",
        "world-frame: correctedState.frame must be a non-negative JS-safe integer",
        "world-frame: toFrame must be >= correctedState.frame",
        "world-frame: reconcile window exceeds the bound",
    ),
    "resume_session": (
        "world-session: bad input json: {}",
        "world-session: missing key",
        "world-session: missing bundle",
        "world-session: missing currentEpoch",
        "world-session: currentEpoch must be a JS-safe integer",
        "world-session: missing maxCatchup",
        "world-session: maxCatchup must be a non-negative JS-safe integer",
        "world-session: maxActions must be a non-negative JS-safe integer",
        "world-session: bundle worldId does not match expectedWorldId (cross-world or cross-path bundle rejected)",
        "world-session: bundle missing snapshot",
        "world-session: snapshot missing state",
        "world-session: snapshot missing stateHash",
        "world-session: chainTail must be an array",
        "world-session: snapshot.state.entities must be an object (malformed WorldState rejected fail-closed)",
        *(f"world-session: hash: {kind}" for kind in CANON_KINDS),
        "world-session: corrupted snapshot (state hash mismatch)",
        "world-session: bundle carries no chain seal (pre-seal bundle format rejected; re-suspend with the current"
        " engine)",
        "world-session: chain seal signature invalid (forged seal or wrong key)",
        "world-session: snapshot.eventIndex must be a JS-safe integer >= 0",
        "world-session: bundle binding invalid (worldId / eventIndex / tailGenesis rewritten, or cross-world splice"
        " - forge detected)",
        "world-session: chain tail head does not match the seal (trailing records dropped or replaced"
        " - end-truncation detected)",
        "world-session: chain tail length does not match the seal (sealed count {count} != eventIndex {index}"
        " + tail {tail})",
        "record missing seq",
        "record missing type",
        "record missing payload",
        "record missing prevSig",
        "record missing sig",
        "world-session: chain tamper detected in tail",
        "world-session: time travel detected (currentEpoch < state.epoch)",
    ),
}


def message_pattern(template: str) -> re.Pattern:
    """A listed message with each {placeholder} standing for any text."""
    pieces = re.split(r"\{[^}]*\}", template)
    return re.compile(".*".join(re.escape(piece) for piece in pieces) + r"\Z", re.DOTALL)


def uncovered_messages(function: str, outcomes: list[dict]) -> list[str]:
    """The listed messages of `function` that none of its outcomes raises."""
    raised = [expect["error"]["message"] for expect in outcomes if "error" in expect]
    return [
        template
        for template in MESSAGES.get(function, ())
        if not any(message_pattern(template).match(message) for message in raised)
    ]
