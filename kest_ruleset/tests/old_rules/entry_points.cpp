#include "check.hpp"
#include "context.hpp"
#include "kest/result.hpp"
#include "mutations.hpp"
#include "old_rules.hpp"
#include "working_state.hpp"

namespace kest::ruleset::old {

Result<void> validate_triggered_mutations(const json::Value& mutations) {
  const json::Array* list = mutations.if_array();
  if (list == nullptr) return fail("AST: mutations must be an array");
  ValidationBudget budget;
  budget.in_trigger = true;
  return validate_mutation_slice(*list, budget, 0, 1, false);
}

Result<CheckOutcome> evaluate_action_in_place(json::Value& state, const json::Value& check, std::string_view actor,
                                              std::optional<std::string_view> target, math::DieRoller& dice) {
  KEST_RETURN_IF_ERROR(validate_check(check));
  SelectionIndex selections;
  Result<CheckOutcome> outcome;
  {
    WorkingState world(state, selections);
    outcome = eval_check_core(world, check, actor, target, dice);
    if (outcome) world.commit();
  }
  selections.hand_back(state);
  return outcome;
}

Result<std::vector<AppliedMutation>> apply_triggered_mutations_in_place(json::Value& state,
                                                                        const json::Value& mutations,
                                                                        std::string_view actor,
                                                                        std::optional<std::string_view> target,
                                                                        math::DieRoller& dice) {
  KEST_RETURN_IF_ERROR(validate_triggered_mutations(mutations));
  SelectionIndex selections;
  Result<std::vector<AppliedMutation>> applied = std::vector<AppliedMutation>{};
  {
    WorkingState world(state, selections);
    EvalContext context{actor, target, std::nullopt, dice, std::nullopt};
    Result<void> done = apply_mutation_list(world, mutations.as_array(), context, nullptr, *applied);
    if (done) {
      world.commit();
    } else {
      applied = std::unexpected(done.error());
    }
  }
  selections.hand_back(state);
  return applied;
}

}  // namespace kest::ruleset::old
