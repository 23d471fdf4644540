// The text boundary of reconciliation: input checks in their fixed order, then the output text.
#include "inputs.hpp"
#include "kest/frame.hpp"
#include "kest/readers.hpp"

namespace kest::frame {

Result<std::string> reconcile_frames_from_json(std::string_view input_json) {
  auto parsed = json::parse(input_json);
  if (!parsed) return fail("world-frame: bad reconcile input json: " + parsed.error());
  json::Value& input = *parsed;

  const std::string* world_id = input["worldId"].if_string();
  if (world_id == nullptr) return fail("world-frame: worldId must be a string");
  KEST_ASSIGN_OR_RETURN(auto to_frame, read_frame_number(input, "toFrame"));
  auto base = json::safe_count_value(input["correctedState"]["frame"]);
  if (!base) return fail("world-frame: correctedState.frame must be a non-negative JS-safe integer");
  KEST_RETURN_IF_ERROR(frames_to_replay(*base, to_frame));

  // Every command of the window is checked before any frame is replayed, so a bad command costs
  // no replay work; members outside the window are never read.
  const json::Value& commands_by_frame = input["commandsByFrame"];
  for (std::uint64_t frame = *base + 1; frame <= to_frame; ++frame) {
    if (const json::Value* commands = commands_by_frame.find(std::to_string(frame))) {
      KEST_RETURN_IF_ERROR(validate_commands(*commands));
    }
  }
  KEST_ASSIGN_OR_RETURN(auto rules, parse_frame_rules(input));

  KEST_ASSIGN_OR_RETURN(auto result, reconcile_frames({
                                         .world_id = *world_id,
                                         .corrected_state = json::take_member(input, "correctedState"),
                                         .commands_by_frame = commands_by_frame,
                                         .to_frame = to_frame,
                                         .rules = rules,
                                     }));

  json::Object output;
  output.insert_or_assign("events", std::move(result.events));
  output.insert_or_assign("framesReplayed", result.frames_replayed);
  output.insert_or_assign("state", std::move(result.state));
  return json::write(json::Value(std::move(output)));
}

}  // namespace kest::frame
