// One frame: every command gated and, when admitted, run with the frame's one generator.
#include <limits>

#include "commands.hpp"
#include "kest/epoch.hpp"
#include "kest/frame.hpp"

namespace kest::frame {
namespace {

constexpr std::uint64_t kNoCap = std::numeric_limits<std::uint64_t>::max();

json::Value rejection_record(std::string_view player_id, std::string_view action_id, std::string_view reason) {
  json::Object record;
  record.insert_or_assign("action_id", action_id);
  record.insert_or_assign("player_id", player_id);
  record.insert_or_assign("reason", reason);
  return record;
}

json::Value resolved_record(std::string_view player_id, const std::string& actor_id, const std::string& action_id,
                            epoch::ResolvedAction action) {
  json::Object record;
  record.insert_or_assign("action_id", action_id);
  record.insert_or_assign("actor_id", actor_id);
  record.insert_or_assign("degree", std::move(action.degree));
  record.insert_or_assign("mutations_applied", epoch::serialize_mutations(action.applied));
  record.insert_or_assign("player_id", player_id);
  return record;
}

// The entity a player controls; only a non-empty string maps a player.
const std::string* controlled_entity(const json::Value& player_entities, std::string_view player_id) {
  const std::string* entity = player_entities[player_id].if_string();
  return entity != nullptr && !entity->empty() ? entity : nullptr;
}

}  // namespace

Result<TickFrameResult> tick_frame(TickFrameInput input) {
  KEST_ASSIGN_OR_RETURN(math::Pcg32 rng, derive_frame_prng(input.world_id, input.frame_number));
  KEST_ASSIGN_OR_RETURN(auto commands, order_commands(input.commands));

  const FrameRules& rules = input.rules;
  const std::uint64_t frame_cap = rules.max_commands.value_or(kNoCap);
  const std::uint64_t player_cap = rules.max_commands_per_player.value_or(kNoCap);
  json::Value& state = input.state;
  ruleset::SelectionIndex own_selections;
  ruleset::SelectionIndex& selections = input.selections != nullptr ? *input.selections : own_selections;
  epoch::VettedActions own_actions(rules.ruleset);
  epoch::VettedActions& actions = input.actions != nullptr ? *input.actions : own_actions;
  json::Array records;
  TickFrameResult result;

  // A player's commands are adjacent in this order, so the per-player counter is a single
  // running count, started afresh whenever the player changes.
  std::optional<std::string_view> counted_player;
  std::uint64_t count = 0;
  for (const OrderedCommand& ordered : commands) {
    if (result.resolved >= frame_cap) break;
    if (counted_player != ordered.player_id) {
      counted_player = ordered.player_id;
      count = 0;
    }
    const json::Value& command = *ordered.command;
    const std::string_view player_id = ordered.player_id;
    const std::string* action_id = command["actionId"].if_string();
    auto reject = [&](std::string_view recorded_action_id, std::string_view reason) {
      records.push_back(rejection_record(player_id, recorded_action_id, reason));
      ++result.rejected;
    };

    const std::string* actor = controlled_entity(rules.player_entities, player_id);
    if (actor == nullptr) {
      reject("", "unknown_player");
      continue;
    }
    if (count >= player_cap) {
      reject(action_id != nullptr ? std::string_view(*action_id) : "", "rate_limited");
      continue;
    }
    // Every command past the rate limit uses up one of the player's commands, run or rejected.
    ++count;
    if (action_id == nullptr || action_id->empty()) {
      reject("", "malformed_command");
      continue;
    }
    std::optional<std::string_view> target;
    if (const std::string* target_id = command["targetId"].if_string()) target = *target_id;

    auto action = epoch::resolve_action(state, selections, actions, *action_id, *actor, target, rng);
    if (!action) {
      reject(*action_id, epoch::rejection_reason(action.error()));
      continue;
    }
    records.push_back(resolved_record(player_id, *actor, *action_id, std::move(*action)));
    ++result.resolved;
  }

  // The entities the actions created join the world in one pass, not one insertion each.
  selections.hand_back(state);
  // The input state's own "frame" is never read: the tick stamps the frame it resolved.
  if (!state.is_object()) state = json::Object();
  state.as_object().insert_or_assign("frame", input.frame_number);
  result.state = std::move(state);

  json::Object event;
  event.insert_or_assign("commands_processed", std::move(records));
  event.insert_or_assign("event_type", "FrameResolved");
  event.insert_or_assign("frame_number", input.frame_number);
  event.insert_or_assign("pcg_steps_consumed", rng.steps());
  result.event = std::move(event);
  return result;
}

}  // namespace kest::frame
