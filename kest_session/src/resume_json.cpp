// The text boundary of resume: input checks in their fixed order, then the output text.
#include "bundle.hpp"
#include "kest/canonical.hpp"
#include "kest/epoch.hpp"
#include "kest/readers.hpp"

namespace kest::session {
namespace {

// "ruleset" and "proposalsByEpoch" count as the empty object when absent.
const json::Value& member_or_empty_object(const json::Value& input, std::string_view key) {
  static const json::Value empty_object = json::Object{};
  const json::Value* member = input.find(key);
  return member != nullptr ? *member : empty_object;
}

}  // namespace

Result<std::string> resume_from_json(std::string_view input_json) {
  auto parsed = json::parse(input_json);
  if (!parsed) return fail("world-session: bad input json: " + parsed.error());
  json::Value& input = *parsed;

  const std::string* key = input["key"].if_string();
  if (key == nullptr) return fail("world-session: missing key");
  json::Value* bundle = input.find("bundle");
  if (bundle == nullptr) return fail("world-session: missing bundle");
  auto current_epoch = json::integer_value(input["currentEpoch"]);
  if (!current_epoch) return fail("world-session: missing currentEpoch");
  if (!events::is_js_safe(*current_epoch)) {
    return fail("world-session: currentEpoch must be a JS-safe integer");
  }
  auto max_catchup = json::integer_value(input["maxCatchup"]);
  if (!max_catchup) return fail("world-session: missing maxCatchup");
  if (*max_catchup < 0 || *max_catchup > events::kMaxSafeInteger) {
    return fail("world-session: maxCatchup must be a non-negative JS-safe integer");
  }
  const std::vector<std::string> actor_tags = epoch::parse_actor_tags(input);
  KEST_ASSIGN_OR_RETURN(auto max_actions,
                        with_prefix("world-session: ", json::read_optional_count(input, "maxActions")));
  const json::Value& expected_member = input["expectedWorldId"];
  std::optional<std::string_view> expected_world_id;
  if (const std::string* expected = expected_member.if_string()) {
    expected_world_id = *expected;
  } else if (!expected_member.is_null()) {
    return fail(std::string(kCrossWorldBundle));
  }

  KEST_ASSIGN_OR_RETURN(auto output, resume({
                                         .key = *key,
                                         .bundle = std::move(*bundle),
                                         .current_epoch = *current_epoch,
                                         .max_catchup = *max_catchup,
                                         .ruleset = member_or_empty_object(input, "ruleset"),
                                         .proposals_by_epoch = member_or_empty_object(input, "proposalsByEpoch"),
                                         .actor_tags = actor_tags,
                                         .max_actions = max_actions,
                                         .expected_world_id = expected_world_id,
                                     }));

  json::Object document;
  document.insert_or_assign("epochsResolved", output.epochs_resolved);
  document.insert_or_assign("epochsVoided", output.epochs_voided);
  document.insert_or_assign("newEvents", std::move(output.new_events));
  document.insert_or_assign("state", std::move(output.state));
  document.insert_or_assign("worldId", std::move(output.world_id));
  return json::write(json::Value(std::move(document)));
}

}  // namespace kest::session
