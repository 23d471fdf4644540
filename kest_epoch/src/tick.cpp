// One epoch: every actor's proposal, in id order, run with the epoch's one generator.
#include <algorithm>
#include <limits>

#include "kest/epoch.hpp"
#include "kest/ids.hpp"

namespace kest::epoch {
namespace {

constexpr std::string_view kDefaultActorTag = "acts_offline";

// The actors with a proposal: the proposal keys that name an entity carrying one of the actor
// tags, in id order. Only they can act or be recorded, so the epoch looks up its proposals instead
// of scanning the world, and costs what its proposals cost. The list is fixed before any action
// runs, so tags changed during the epoch neither add nor remove actors.
std::vector<std::string> proposing_actors(const json::Value& state, const json::Value& proposals,
                                          std::span<const std::string> actor_tags) {
  std::vector<std::string_view> tags(actor_tags.begin(), actor_tags.end());
  if (tags.empty()) tags.push_back(kDefaultActorTag);
  std::ranges::sort(tags);
  auto is_actor_tag = [&tags](const json::Value& tag) {
    const std::string* text = tag.if_string();
    return text != nullptr && std::ranges::binary_search(tags, std::string_view(*text));
  };

  std::vector<std::string> actors;
  const json::Object* entities = state["entities"].if_object();
  const json::Object* by_actor = proposals.if_object();
  if (entities == nullptr || by_actor == nullptr) return actors;
  for (const json::Member& proposal : *by_actor) {
    const json::Value* entity = entities->find(proposal.key);
    if (entity == nullptr) continue;
    const json::Array* entity_tags = (*entity)["tags"].if_array();
    if (entity_tags != nullptr && std::ranges::any_of(*entity_tags, is_actor_tag)) actors.push_back(proposal.key);
  }
  std::ranges::sort(actors, ruleset::id_less);
  return actors;
}

json::Value rejection_record(std::string action_id, const std::string& actor_id, std::string_view reason) {
  json::Object record;
  record.insert_or_assign("action_id", std::move(action_id));
  record.insert_or_assign("actor_id", actor_id);
  record.insert_or_assign("reason", reason);
  return record;
}

json::Value resolved_record(const std::string& action_id, const std::string& actor_id, ResolvedAction action) {
  json::Object record;
  record.insert_or_assign("action_id", action_id);
  record.insert_or_assign("actor_id", actor_id);
  record.insert_or_assign("degree", std::move(action.degree));
  record.insert_or_assign("mutations_applied", serialize_mutations(action.applied));
  return record;
}

}  // namespace

Result<TickEpochResult> tick_epoch(TickEpochInput input) {
  const std::uint64_t cap = input.max_actions.value_or(std::numeric_limits<std::uint64_t>::max());
  KEST_ASSIGN_OR_RETURN(math::Pcg32 rng, derive_epoch_prng(input.world_id, input.epoch_number));

  const std::vector<std::string> actors = proposing_actors(input.state, input.proposals, input.actor_tags);
  json::Value& state = input.state;
  ruleset::SelectionIndex own_selections;
  ruleset::SelectionIndex& selections = input.selections != nullptr ? *input.selections : own_selections;
  VettedActions own_actions(input.ruleset);
  VettedActions& actions = input.actions != nullptr ? *input.actions : own_actions;
  json::Array records;
  TickEpochResult result;
  for (const std::string& actor : actors) {
    if (result.resolved >= cap) break;
    const json::Value* proposal = input.proposals.find(actor);
    if (proposal == nullptr || !proposal->is_object()) continue;

    const std::string* action_id = (*proposal)["actionId"].if_string();
    if (action_id == nullptr || action_id->empty()) {
      records.push_back(rejection_record("", actor, "malformed_proposal"));
      ++result.rejected;
      continue;
    }
    std::optional<std::string_view> target;
    if (const std::string* target_id = (*proposal)["targetId"].if_string()) target = *target_id;

    auto action = resolve_action(state, selections, actions, *action_id, actor, target, rng);
    if (!action) {
      records.push_back(rejection_record(*action_id, actor, rejection_reason(action.error())));
      ++result.rejected;
      continue;
    }
    records.push_back(resolved_record(*action_id, actor, std::move(*action)));
    ++result.resolved;
  }

  // The entities the actions created join the world in one pass, not one insertion each.
  selections.hand_back(state);
  // The input state's own "epoch" is never read: the tick stamps the epoch it resolved.
  if (!state.is_object()) state = json::Object();
  state.as_object().insert_or_assign("epoch", input.epoch_number);
  result.state = std::move(state);

  json::Object event;
  event.insert_or_assign("actions_processed", std::move(records));
  event.insert_or_assign("epoch_number", input.epoch_number);
  event.insert_or_assign("event_type", "EpochResolved");
  event.insert_or_assign("pcg_steps_consumed", rng.steps());
  result.event = std::move(event);
  return result;
}

std::string write_tick_output(TickResult result) {
  json::Object output;
  output.insert_or_assign("event", std::move(result.event));
  output.insert_or_assign("rejected", result.rejected);
  output.insert_or_assign("resolved", result.resolved);
  output.insert_or_assign("state", std::move(result.state));
  return json::write(json::Value(std::move(output)));
}

}  // namespace kest::epoch
