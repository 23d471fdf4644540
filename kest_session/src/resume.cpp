// Resume: the bundle checks, then replay of the tail, the time-travel test and catch-up, all on
// the one state taken out of the bundle and moved from step to step.
#include "bundle.hpp"
#include "canonical_numbers.hpp"
#include "kest/epoch.hpp"
#include "kest/readers.hpp"
#include "replay.hpp"

namespace kest::session {

Result<ResumeOutput> resume(ResumeInput input) {
  KEST_ASSIGN_OR_RETURN(auto bundle, authenticate_bundle(input.key, input.bundle, input.expected_world_id));

  // Go on with exactly what was authenticated: the canonical text that the hash and the
  // signatures cover reads 5.0 as 5, so a float rewritten without the key still verifies and
  // must count as the integer it was signed as.
  json::Value state = std::move(bundle.state);
  canonicalize_numbers(state);
  TailReplay tail(std::move(state));
  for (events::ChainedRecord& record : bundle.tail) {
    canonicalize_numbers(record.payload);
    tail.replay(record.payload);
  }
  state = std::move(tail).finish();

  // An "epoch" that is no integer below 2^63 counts as epoch 0, as catch-up reads it.
  if (input.current_epoch < json::integer_value(state["epoch"]).value_or(0)) {
    return fail("world-session: time travel detected (currentEpoch < state.epoch)");
  }

  KEST_ASSIGN_OR_RETURN(auto caught_up, epoch::catch_up_epochs({
                                            .world_id = bundle.world_id,
                                            .state = std::move(state),
                                            .ruleset = input.ruleset,
                                            .proposals_by_epoch = input.proposals_by_epoch,
                                            .actor_tags = input.actor_tags,
                                            .max_actions = input.max_actions,
                                            .current_epoch = input.current_epoch,
                                            .max_catchup = input.max_catchup,
                                        }));
  return ResumeOutput{
      .world_id = std::move(bundle.world_id),
      .state = std::move(caught_up.state),
      .new_events = std::move(caught_up.events),
      .epochs_resolved = caught_up.epochs_resolved,
      .epochs_voided = caught_up.epochs_voided,
  };
}

}  // namespace kest::session
