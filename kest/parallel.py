"""Running many worlds at once: resumes, epoch ticks and catch-ups in batches.

The engine keeps no state and each call is a pure function of its input, so a batch spreads over
any executor with `submit`, with the same code and the same outcomes: a
`concurrent.futures.ThreadPoolExecutor` (every call releases the interpreter lock while it parses,
computes and writes, so threads run side by side on all cores of one machine), a
`ProcessPoolExecutor`, or a Dask `distributed.Client` for a cluster.

Each task of a batch runs `per_task` consecutive documents. One document per task suits threads;
processes and Dask pay for every task they schedule, so a host ticking thousands of small worlds
there groups them, a few dozen per task.
"""

from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

import kest_engine_native as k
from kest import bundles, campaign, chain, jsontext, tactics, world


@dataclass(frozen=True)
class Outcome:
    """The outcome of one call: the output document, or the engine's reason for refusing the input."""

    output: str | None
    refusal: str | None


def _outcome(function: Callable[[str], str], input_json: str) -> Outcome:
    try:
        return Outcome(function(input_json), None)
    except ValueError as refusal:
        return Outcome(None, str(refusal))


def resume_one(input_json: str) -> Outcome:
    return _outcome(k.resume_session, input_json)


def tick_one(input_json: str) -> Outcome:
    return _outcome(k.tick_epoch, input_json)


def catch_up_one(input_json: str) -> Outcome:
    return _outcome(k.catch_up_epochs, input_json)


def _run_task(one: Callable[[str], Outcome], inputs: Sequence[str]) -> list[Outcome]:
    return [one(text) for text in inputs]


def run_batch(executor, one: Callable[[str], Outcome], inputs: Iterable[str], per_task: int = 1) -> list[Outcome]:
    """Runs `one` on every input on `executor`, `per_task` inputs per task, outcomes in input order. `one`
    must be picklable for processes and clusters: a module's function, or a functools.partial of one."""
    if per_task < 1:
        raise ValueError(f"per_task must be at least 1, not {per_task}")
    texts = list(inputs)
    tasks = [texts[start : start + per_task] for start in range(0, len(texts), per_task)]
    futures = [executor.submit(_run_task, one, task) for task in tasks]
    return [outcome for future in futures for outcome in future.result()]


def resume_batch(executor, inputs: Iterable[str], per_task: int = 1) -> list[Outcome]:
    """Resumes every `resume_session` document on `executor`, outcomes in input order; a refused
    bundle does not stop the others."""
    return run_batch(executor, resume_one, inputs, per_task)


def tick_epoch_batch(executor, inputs: Iterable[str], per_task: int = 1) -> list[Outcome]:
    """Resolves every `tick_epoch` document on `executor` (one epoch of many worlds), outcomes in
    input order; a refused document does not stop the others."""
    return run_batch(executor, tick_one, inputs, per_task)


def catch_up_batch(executor, inputs: Iterable[str], per_task: int = 1) -> list[Outcome]:
    """Catches up every `catch_up_epochs` document on `executor`, outcomes in input order; a
    refused document does not stop the others."""
    return run_batch(executor, catch_up_one, inputs, per_task)


def _world_id(number: int) -> str:
    return f"vale-{number:04d}"


def sample_inputs(key: str, worlds: int, epochs: int = 4, gap: int = 3) -> list[str]:
    """Resume documents for `worlds` copies of the default world, each played live for `epochs`
    epochs under its own world id (so its dice differ), suspended half-way through its chain and
    resumed `gap` epochs later with its standing orders."""
    _, state = world.default_world()
    ruleset = world.default_ruleset()
    orders = tactics.proposals(state)
    proposals_by_epoch = {str(epoch): orders for epoch in range(1, epochs + gap + 1)}
    inputs = []
    for number in range(worlds):
        world_id = _world_id(number)
        states, events = campaign.live_epochs(world_id, state, ruleset, proposals_by_epoch, epochs)
        records = chain.sign_chain(key, events)
        bundle = bundles.suspend(key, world_id, states[epochs // 2], records, epochs // 2)
        current = epochs + gap
        inputs.append(
            bundles.resume_input(key, bundle, current, gap, ruleset=ruleset, proposalsByEpoch=proposals_by_epoch)
        )
    return inputs


def sample_tick_inputs(worlds: int, epoch: int = 1) -> list[str]:
    """`tick_epoch` documents for epoch `epoch` of `worlds` copies of the default world, each under
    its own world id (so its dice differ) with its standing orders."""
    _, state = world.default_world()
    common = {"state": state, "ruleset": world.default_ruleset(), "proposals": tactics.proposals(state)}
    return [jsontext.dumps({**common, "worldId": _world_id(number), "epochNumber": epoch}) for number in range(worlds)]


def sample_catch_up_inputs(worlds: int, current_epoch: int = 6, max_catchup: int = 4) -> list[str]:
    """`catch_up_epochs` documents for `worlds` copies of the default world that missed every
    epoch up to `current_epoch`, each under its own world id with its standing orders."""
    _, state = world.default_world()
    orders = tactics.proposals(state)
    common = {
        "state": state,
        "ruleset": world.default_ruleset(),
        "currentEpoch": current_epoch,
        "maxCatchup": max_catchup,
        "proposalsByEpoch": {str(epoch): orders for epoch in range(1, current_epoch + 1)},
    }
    return [jsontext.dumps({**common, "worldId": _world_id(number)}) for number in range(worlds)]
