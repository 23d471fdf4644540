// Readers of the members of frame input documents.
#include "inputs.hpp"

#include "kest/canonical.hpp"
#include "kest/epoch.hpp"

namespace kest::frame {

Result<std::uint64_t> read_frame_number(const json::Value& input, std::string_view name) {
  auto number = epoch::integer_value(input[name]);
  if (!number) return fail("world-frame: " + std::string(name) + " must be an integer");
  if (*number < 0 || *number > events::kMaxSafeInteger) {
    return fail("world-frame: " + std::string(name) + " must be a non-negative JS-safe integer");
  }
  return static_cast<std::uint64_t>(*number);
}

Result<std::optional<std::uint64_t>> parse_cap(const json::Value& input, std::string_view key) {
  const json::Value& cap = input[key];
  if (cap.is_null()) return std::nullopt;
  if (auto count = epoch::safe_count_value(cap)) return count;
  return fail("world-frame: " + std::string(key) + " must be a non-negative JS-safe integer");
}

Result<FrameRules> parse_frame_rules(const json::Value& input) {
  KEST_ASSIGN_OR_RETURN(auto per_player, parse_cap(input, "maxCommandsPerPlayer"));
  KEST_ASSIGN_OR_RETURN(auto per_frame, parse_cap(input, "maxCommands"));
  return FrameRules{
      .ruleset = input["ruleset"],
      .player_entities = input["playerEntities"],
      .max_commands_per_player = per_player,
      .max_commands = per_frame,
  };
}

}  // namespace kest::frame
