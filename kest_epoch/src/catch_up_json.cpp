// The text boundary of catch-up: input checks in their fixed order, then the output text.
#include "kest/canonical.hpp"
#include "kest/epoch.hpp"
#include "kest/readers.hpp"

namespace kest::epoch {

Result<std::string> catch_up_epochs_from_json(std::string_view input_json) {
  auto parsed = json::parse(input_json);
  if (!parsed) return fail("world-epoch: bad catchup input json: " + parsed.error());
  json::Value& input = *parsed;

  const std::string* world_id = input["worldId"].if_string();
  if (world_id == nullptr) return fail("world-epoch: worldId must be a string");
  auto current_epoch = json::integer_value(input["currentEpoch"]);
  if (!current_epoch) return fail("world-epoch: currentEpoch must be an integer");
  if (!events::is_js_safe(*current_epoch)) {
    return fail("world-epoch: currentEpoch must be a JS-safe integer");
  }
  auto max_catchup = json::integer_value(input["maxCatchup"]);
  if (!max_catchup) return fail("world-epoch: maxCatchup must be an integer");
  if (*max_catchup < 0 || *max_catchup > events::kMaxSafeInteger) {
    return fail("world-epoch: maxCatchup must be a non-negative JS-safe integer");
  }
  // Only an integer "epoch" is held to the safe range; any other value counts as epoch 0.
  if (auto last = json::integer_value(input["state"]["epoch"]); last && !events::is_js_safe(*last)) {
    return fail("world-epoch: state.epoch must be a JS-safe integer");
  }
  KEST_ASSIGN_OR_RETURN(auto max_actions, with_prefix("world-epoch: ", json::read_optional_count(input, "maxActions")));
  const std::vector<std::string> actor_tags = parse_actor_tags(input);

  KEST_ASSIGN_OR_RETURN(auto result, catch_up_epochs({
                                         .world_id = *world_id,
                                         .state = json::take_member(input, "state"),
                                         .ruleset = input["ruleset"],
                                         .proposals_by_epoch = input["proposalsByEpoch"],
                                         .actor_tags = actor_tags,
                                         .max_actions = max_actions,
                                         .current_epoch = *current_epoch,
                                         .max_catchup = *max_catchup,
                                     }));

  json::Object output;
  output.insert_or_assign("epochsResolved", result.epochs_resolved);
  output.insert_or_assign("epochsVoided", result.epochs_voided);
  output.insert_or_assign("events", std::move(result.events));
  output.insert_or_assign("state", std::move(result.state));
  return json::write(json::Value(std::move(output)));
}

}  // namespace kest::epoch
