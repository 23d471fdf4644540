// The ruleset document and the step that runs one admitted action through the rules engine.
#include "kest/epoch.hpp"

namespace kest::epoch {

Result<ActionKind> parse_action_kind(const json::Value& definition) {
  const std::string* kind = definition["kind"].if_string();
  if (kind != nullptr && *kind == "check") {
    if (const json::Value* check = definition.find("check")) return ActionKind{ActionKind::Type::kCheck, check};
    return fail("world-epoch: check action missing check");
  }
  if (kind != nullptr && *kind == "mutations") {
    if (const json::Value* mutations = definition.find("mutations")) {
      return ActionKind{ActionKind::Type::kMutations, mutations};
    }
    return fail("world-epoch: mutations action missing mutations");
  }
  return fail("world-epoch: action has unknown kind");
}

std::string_view rejection_reason(ActionRejection rejection) noexcept {
  switch (rejection) {
    case ActionRejection::kUnknownAction: return "unknown_action";
    case ActionRejection::kInvalidAction: return "invalid_action";
    case ActionRejection::kEvalError: return "eval_error";
  }
  return "eval_error";
}

namespace {

std::expected<VettedRule, ActionRejection> vet_action(const json::Value* definition) {
  if (definition == nullptr) return std::unexpected(ActionRejection::kUnknownAction);
  auto kind = parse_action_kind(*definition);
  if (!kind) return std::unexpected(ActionRejection::kInvalidAction);
  if (kind->type == ActionKind::Type::kCheck) {
    auto check = ruleset::vet_check(*kind->rule);
    if (!check) return std::unexpected(ActionRejection::kInvalidAction);
    return VettedRule(std::move(*check));
  }
  auto mutations = ruleset::vet_triggered_mutations(*kind->rule);
  if (!mutations) return std::unexpected(ActionRejection::kInvalidAction);
  return VettedRule(std::move(*mutations));
}

// Runs the rule; the rules engine rolls the state back itself when a run fails.
std::expected<ResolvedAction, ActionRejection> run(const VettedRule& rule, json::Value& state,
                                                   ruleset::SelectionIndex& selections, std::string_view actor,
                                                   std::optional<std::string_view> target, math::Pcg32& rng) {
  if (const auto* check = std::get_if<ruleset::ValidatedCheck>(&rule)) {
    auto outcome = ruleset::evaluate_action_in_place(state, selections, *check, actor, target, rng);
    if (!outcome) return std::unexpected(ActionRejection::kEvalError);
    return ResolvedAction{std::move(outcome->degree), std::move(outcome->applied)};
  }
  const auto& mutations = std::get<ruleset::ValidatedTrigger>(rule);
  auto applied = ruleset::apply_triggered_mutations_in_place(state, selections, mutations, actor, target, rng);
  if (!applied) return std::unexpected(ActionRejection::kEvalError);
  return ResolvedAction{"none", std::move(*applied)};
}

}  // namespace

std::expected<const VettedRule*, ActionRejection> VettedActions::find(std::string_view action_id) {
  auto vetted = vetted_.find(action_id);
  if (vetted == vetted_.end()) {
    vetted = vetted_.emplace(std::string(action_id), vet_action(ruleset_->find(action_id))).first;
  }
  if (!vetted->second) return std::unexpected(vetted->second.error());
  return &*vetted->second;
}

std::expected<ResolvedAction, ActionRejection> resolve_action(json::Value& state, ruleset::SelectionIndex& selections,
                                                              VettedActions& actions, std::string_view action_id,
                                                              std::string_view actor,
                                                              std::optional<std::string_view> target,
                                                              math::Pcg32& rng) {
  auto rule = actions.find(action_id);
  if (!rule) return std::unexpected(rule.error());
  // The engine keeps the draws a failed rule took; putting the generator back makes a failed
  // action consume none, so the next action draws what this one would have. Vetting draws nothing.
  const math::Pcg32 before = rng;
  auto resolved = run(**rule, state, selections, actor, target, rng);
  if (!resolved) rng = before;
  return resolved;
}

json::Value serialize_mutation(const ruleset::AppliedMutation& mutation) {
  json::Object object;
  object.insert_or_assign("op", std::string(ruleset::mutation_op_name(mutation.op)));
  object.insert_or_assign("target", mutation.target);
  if (mutation.property) object.insert_or_assign("property", *mutation.property);
  if (mutation.tag) object.insert_or_assign("tag", *mutation.tag);
  if (mutation.previous) object.insert_or_assign("previous", *mutation.previous);
  if (mutation.next) object.insert_or_assign("next", *mutation.next);
  return object;
}

json::Value serialize_mutations(std::span<const ruleset::AppliedMutation> mutations) {
  json::Array array;
  array.reserve(mutations.size());
  for (const ruleset::AppliedMutation& mutation : mutations) array.push_back(serialize_mutation(mutation));
  return array;
}

}  // namespace kest::epoch
