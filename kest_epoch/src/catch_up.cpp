// Catch-up: the earliest missed epochs resolved one after another, the rest of the gap voided.
#include <algorithm>

#include "kest/epoch.hpp"
#include "kest/readers.hpp"

namespace kest::epoch {

Result<CatchUpResult> catch_up_epochs(CatchUpInput input) {
  const std::int64_t last = json::integer_value(input.state["epoch"]).value_or(0);
  std::int64_t gap = 0;
  if (__builtin_sub_overflow(input.current_epoch, last, &gap)) gap = 0;

  if (gap < 1) {
    // Nothing to resolve, but a world id that could never tick is still refused.
    KEST_RETURN_IF_ERROR(derive_epoch_prng(input.world_id, 0));
    return CatchUpResult{.state = std::move(input.state)};
  }

  const std::int64_t to_resolve = std::min(gap, std::max<std::int64_t>(input.max_catchup, 0));
  CatchUpResult result{
      .state = std::move(input.state),
      .epochs_resolved = to_resolve,
      .epochs_voided = gap - to_resolve,
  };
  // The working state moves into each tick and back out of it: it is never copied. Its index
  // of tags goes along, so the world is scanned for selections once, not once an epoch, and so
  // do the vetted actions, so each action is vetted once, not once an epoch.
  ruleset::SelectionIndex selections;
  VettedActions actions(input.ruleset);
  for (std::int64_t k = 1; k <= to_resolve; ++k) {
    const std::int64_t epoch = last + k;
    // Only the canonical decimal key names an epoch's proposals; a non-object member counts as
    // none, as the tick skips every actor when its proposals are not an object.
    KEST_ASSIGN_OR_RETURN(auto tick, tick_epoch({
                                         .world_id = input.world_id,
                                         .epoch_number = epoch,
                                         .state = std::move(result.state),
                                         .proposals = input.proposals_by_epoch[std::to_string(epoch)],
                                         .ruleset = input.ruleset,
                                         .actor_tags = input.actor_tags,
                                         .max_actions = input.max_actions,
                                         .selections = &selections,
                                         .actions = &actions,
                                     }));
    result.state = std::move(tick.state);
    result.events.push_back(std::move(tick.event));
  }
  return result;
}

}  // namespace kest::epoch
