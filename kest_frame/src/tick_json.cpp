// The text boundary of the frame tick: input checks in their fixed order, then the output text.
#include "inputs.hpp"
#include "kest/epoch.hpp"
#include "kest/frame.hpp"

namespace kest::frame {

Result<std::string> tick_frame_from_json(std::string_view input_json) {
  auto parsed = json::parse(input_json);
  if (!parsed) return std::unexpected("world-frame: bad input json: " + parsed.error());
  json::Value& input = *parsed;

  const std::string* world_id = input["worldId"].if_string();
  if (world_id == nullptr) return std::unexpected("world-frame: worldId must be a string");
  auto frame_number = read_frame_number(input, "frameNumber");
  if (!frame_number) return std::unexpected(std::move(frame_number.error()));
  if (auto valid = validate_commands(input["commands"]); !valid) return std::unexpected(std::move(valid.error()));
  auto rules = parse_frame_rules(input);
  if (!rules) return std::unexpected(std::move(rules.error()));

  auto result = tick_frame({
      .world_id = *world_id,
      .frame_number = *frame_number,
      .state = epoch::take_member(input, "state"),
      .commands = input["commands"],
      .rules = *rules,
  });
  if (!result) return std::unexpected(std::move(result.error()));

  return epoch::write_tick_output(std::move(*result));
}

}  // namespace kest::frame
