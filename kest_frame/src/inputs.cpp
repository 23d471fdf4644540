// Readers of the members of frame input documents.
#include "inputs.hpp"

#include "kest/readers.hpp"

namespace kest::frame {

Result<std::uint64_t> read_frame_number(const json::Value& input, std::string_view name) {
  auto number = json::integer_value(input[name]);
  if (!number) return fail("world-frame: " + std::string(name) + " must be an integer");
  if (*number < 0 || *number > json::kMaxSafeInteger) {
    return fail("world-frame: " + std::string(name) + " must be a non-negative JS-safe integer");
  }
  return static_cast<std::uint64_t>(*number);
}

Result<FrameRules> parse_frame_rules(const json::Value& input) {
  KEST_ASSIGN_OR_RETURN(auto per_player,
                        with_prefix("world-frame: ", json::read_optional_count(input, "maxCommandsPerPlayer")));
  KEST_ASSIGN_OR_RETURN(auto per_frame, with_prefix("world-frame: ", json::read_optional_count(input, "maxCommands")));
  return FrameRules{
      .ruleset = input["ruleset"],
      .player_entities = input["playerEntities"],
      .max_commands_per_player = per_player,
      .max_commands = per_frame,
  };
}

}  // namespace kest::frame
