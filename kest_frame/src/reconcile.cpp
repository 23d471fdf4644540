// Rollback reconciliation: the frames after a corrected state replayed with the frame tick.
#include "kest/frame.hpp"
#include "kest/readers.hpp"

namespace kest::frame {

Result<std::uint64_t> frames_to_replay(std::uint64_t base, std::uint64_t to_frame) {
  if (to_frame < base) return fail("world-frame: toFrame must be >= correctedState.frame");
  if (to_frame - base > kMaxReplayFrames) return fail("world-frame: reconcile window exceeds the bound");
  return to_frame - base;
}

Result<ReconcileResult> reconcile_frames(ReconcileInput input) {
  // Nothing may be replayed, but a world id that could never tick is still refused.
  KEST_RETURN_IF_ERROR(derive_frame_prng(input.world_id, 0));
  const std::uint64_t base = json::safe_count_value(input.corrected_state["frame"]).value_or(0);
  KEST_ASSIGN_OR_RETURN(auto frames, frames_to_replay(base, input.to_frame));

  ReconcileResult result{.state = std::move(input.corrected_state), .frames_replayed = frames};
  result.events.reserve(frames);
  // The state moves into each tick and back out of it: it is never copied. Its index of tags
  // goes along, so the world is scanned for selections once, not once a frame, and so do the
  // vetted actions, so each action is vetted once, not once a frame.
  ruleset::SelectionIndex selections;
  epoch::VettedActions actions(input.rules.ruleset);
  for (std::uint64_t frame = base + 1; frame <= input.to_frame; ++frame) {
    // Only the plain decimal key names a frame's commands.
    KEST_ASSIGN_OR_RETURN(auto tick, tick_frame({
                                         .world_id = input.world_id,
                                         .frame_number = frame,
                                         .state = std::move(result.state),
                                         .commands = input.commands_by_frame[std::to_string(frame)],
                                         .rules = input.rules,
                                         .selections = &selections,
                                         .actions = &actions,
                                     }));
    result.state = std::move(tick.state);
    result.events.push_back(std::move(tick.event));
  }
  return result;
}

}  // namespace kest::frame
