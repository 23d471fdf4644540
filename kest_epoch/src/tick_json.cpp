// The text boundary of the epoch tick: input checks in their fixed order, then the output text.
#include "kest/canonical.hpp"
#include "kest/epoch.hpp"
#include "kest/readers.hpp"

namespace kest::epoch {

Result<std::string> tick_epoch_from_json(std::string_view input_json) {
  auto parsed = json::parse(input_json);
  if (!parsed) return fail("world-epoch: bad tick input json: " + parsed.error());
  json::Value& input = *parsed;

  const std::string* world_id = input["worldId"].if_string();
  if (world_id == nullptr) return fail("world-epoch: worldId must be a string");
  auto epoch_number = json::integer_value(input["epochNumber"]);
  if (!epoch_number) return fail("world-epoch: epochNumber must be an integer");
  if (!events::is_js_safe(*epoch_number)) {
    return fail("world-epoch: epoch_number must be a JS-safe integer");
  }
  KEST_ASSIGN_OR_RETURN(auto max_actions, with_prefix("world-epoch: ", json::read_optional_count(input, "maxActions")));
  const std::vector<std::string> actor_tags = parse_actor_tags(input);

  KEST_ASSIGN_OR_RETURN(auto result, tick_epoch({
                                         .world_id = *world_id,
                                         .epoch_number = *epoch_number,
                                         .state = json::take_member(input, "state"),
                                         .proposals = input["proposals"],
                                         .ruleset = input["ruleset"],
                                         .actor_tags = actor_tags,
                                         .max_actions = max_actions,
                                     }));

  return write_tick_output(std::move(result));
}

}  // namespace kest::epoch
