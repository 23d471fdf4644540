"""Resuming many suspended worlds at once.

The engine keeps no state and each call is a pure function of its input, so a batch of resumes
spreads over any executor with `submit`: a `concurrent.futures.ProcessPoolExecutor`, or a Dask
`distributed.Client`, with the same code. Every call holds the interpreter lock while it runs, so
the speed-up comes from worker processes, not from threads.
"""

from collections.abc import Iterable
from dataclasses import dataclass

import kest_engine_native as k
from kest import bundles, campaign, chain, tactics, world


@dataclass(frozen=True)
class Resumed:
    """The outcome of one resume: the output document, or the engine's reason for refusing it."""

    output: str | None
    refusal: str | None


def resume_one(input_json: str) -> Resumed:
    try:
        return Resumed(k.resume_session(input_json), None)
    except ValueError as refusal:
        return Resumed(None, str(refusal))


def resume_batch(executor, inputs: Iterable[str]) -> list[Resumed]:
    """Resumes every `resume_session` document on `executor`, outcomes in input order; a refused
    bundle does not stop the others."""
    futures = [executor.submit(resume_one, text) for text in inputs]
    return [future.result() for future in futures]


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
        world_id = f"vale-{number:04d}"
        states, events = campaign.live_epochs(world_id, state, ruleset, proposals_by_epoch, epochs)
        records = chain.sign_chain(key, events)
        bundle = bundles.suspend(key, world_id, states[epochs // 2], records, epochs // 2)
        current = epochs + gap
        inputs.append(
            bundles.resume_input(key, bundle, current, gap, ruleset=ruleset, proposalsByEpoch=proposals_by_epoch)
        )
    return inputs
