// The text boundary of the frame tick: input checks in their fixed order, then the output text.
#include "inputs.hpp"
#include "kest/epoch.hpp"
#include "kest/frame.hpp"
#include "kest/readers.hpp"

namespace kest::frame {

Result<std::string> tick_frame_from_json(std::string_view input_json) {
  auto parsed = json::parse(input_json);
  if (!parsed) return fail("world-frame: bad input json: " + parsed.error());
  json::Value& input = *parsed;

  const std::string* world_id = input["worldId"].if_string();
  if (world_id == nullptr) return fail("world-frame: worldId must be a string");
  KEST_ASSIGN_OR_RETURN(auto frame_number, read_frame_number(input, "frameNumber"));
  KEST_RETURN_IF_ERROR(validate_commands(input["commands"]));
  KEST_ASSIGN_OR_RETURN(auto rules, parse_frame_rules(input));

  KEST_ASSIGN_OR_RETURN(auto result, tick_frame({
                                         .world_id = *world_id,
                                         .frame_number = frame_number,
                                         .state = json::take_member(input, "state"),
                                         .commands = input["commands"],
                                         .rules = rules,
                                     }));

  return epoch::write_tick_output(std::move(result));
}

}  // namespace kest::frame
