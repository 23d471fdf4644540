// The entry points: validate the whole rule, then run it. The in-place forms edit the caller's
// state and take every edit back when the rule fails; the others run on one copy of the state.
#include <utility>

#include "check.hpp"
#include "context.hpp"
#include "kest/result.hpp"
#include "kest/ruleset.hpp"
#include "mutations.hpp"
#include "working_state.hpp"

namespace kest::ruleset {
namespace {

Result<std::vector<AppliedMutation>> apply_trigger_core(WorkingState& world, const json::Value& mutations,
                                                        std::string_view actor, std::optional<std::string_view> target,
                                                        math::DieRoller& dice) {
  const json::Array* list = mutations.if_array();
  if (list == nullptr) return fail("AST: mutations must be an array");
  EvalContext context{actor, target, std::nullopt, dice, std::nullopt};
  std::vector<AppliedMutation> applied;
  KEST_RETURN_IF_ERROR(apply_mutation_list(world, *list, context, nullptr, applied));
  return applied;
}

// Runs a validated check on `state`, keeping its edits only when it succeeds.
Result<CheckOutcome> run_check(json::Value& state, SelectionIndex& selections, const json::Value& check,
                               std::string_view actor, std::optional<std::string_view> target, math::DieRoller& dice) {
  WorkingState world(state, selections);
  Result<CheckOutcome> outcome = eval_check_core(world, check, actor, target, dice);
  if (outcome) world.commit();
  return outcome;
}

// Applies a validated trigger list to `state`, keeping its edits only when it succeeds.
Result<std::vector<AppliedMutation>> run_trigger(json::Value& state, SelectionIndex& selections,
                                                 const json::Value& mutations, std::string_view actor,
                                                 std::optional<std::string_view> target, math::DieRoller& dice) {
  WorkingState world(state, selections);
  Result<std::vector<AppliedMutation>> applied = apply_trigger_core(world, mutations, actor, target, dice);
  if (applied) world.commit();
  return applied;
}

// A check's outcome together with the new state it produced from a copy of the input.
struct CheckOnCopy {
  CheckOutcome outcome;
  json::Value state;
};

// The input state is copied only once the rule has passed validation.
Result<CheckOnCopy> evaluate_on_copy(const json::Value& state, const json::Value& check, std::string_view actor,
                                     std::optional<std::string_view> target, math::DieRoller& dice) {
  KEST_RETURN_IF_ERROR(validate_check(check));
  json::Value working = state;
  SelectionIndex selections;
  KEST_ASSIGN_OR_RETURN(CheckOutcome outcome, run_check(working, selections, check, actor, target, dice));
  selections.hand_back(working);
  return CheckOnCopy{std::move(outcome), std::move(working)};
}

Result<MutationsResolution> apply_on_copy(const json::Value& state, const json::Value& mutations,
                                          std::string_view actor, std::optional<std::string_view> target,
                                          math::DieRoller& dice) {
  KEST_RETURN_IF_ERROR(validate_triggered_mutations(mutations));
  json::Value working = state;
  SelectionIndex selections;
  KEST_ASSIGN_OR_RETURN(std::vector<AppliedMutation> applied,
                        run_trigger(working, selections, mutations, actor, target, dice));
  selections.hand_back(working);
  return MutationsResolution{std::move(working), std::move(applied)};
}

}  // namespace

Result<void> validate_triggered_mutations(const json::Value& mutations) {
  const json::Array* list = mutations.if_array();
  if (list == nullptr) return fail("AST: mutations must be an array");
  ValidationBudget budget;
  budget.in_trigger = true;
  return validate_mutation_slice(*list, budget, 0, 1, false);
}

Result<ValidatedCheck> vet_check(const json::Value& check) {
  KEST_RETURN_IF_ERROR(validate_check(check));
  return ValidatedCheck(check);
}

Result<ValidatedTrigger> vet_triggered_mutations(const json::Value& mutations) {
  KEST_RETURN_IF_ERROR(validate_triggered_mutations(mutations));
  return ValidatedTrigger(mutations);
}

Result<CheckOutcome> evaluate_action_in_place(json::Value& state, SelectionIndex& selections,
                                              const ValidatedCheck& check, std::string_view actor,
                                              std::optional<std::string_view> target, math::DieRoller& dice) {
  return run_check(state, selections, check.rule(), actor, target, dice);
}

Result<std::vector<AppliedMutation>> apply_triggered_mutations_in_place(json::Value& state, SelectionIndex& selections,
                                                                        const ValidatedTrigger& mutations,
                                                                        std::string_view actor,
                                                                        std::optional<std::string_view> target,
                                                                        math::DieRoller& dice) {
  return run_trigger(state, selections, mutations.rule(), actor, target, dice);
}

Result<CheckOutcome> evaluate_action_in_place(json::Value& state, const json::Value& check, std::string_view actor,
                                              std::optional<std::string_view> target, math::DieRoller& dice) {
  KEST_RETURN_IF_ERROR(validate_check(check));
  SelectionIndex selections;
  Result<CheckOutcome> outcome = run_check(state, selections, check, actor, target, dice);
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
  Result<std::vector<AppliedMutation>> applied = run_trigger(state, selections, mutations, actor, target, dice);
  selections.hand_back(state);
  return applied;
}

Result<ActionResult> evaluate_action(const json::Value& state, const json::Value& check, std::string_view actor,
                                     std::optional<std::string_view> target, std::uint64_t seed) {
  math::Pcg32 rng = math::Pcg32::seeded(seed);
  KEST_ASSIGN_OR_RETURN(CheckOnCopy result, evaluate_on_copy(state, check, actor, target, rng));
  CheckOutcome& outcome = result.outcome;
  return ActionResult{std::move(outcome.degree), outcome.natural,           outcome.roll, outcome.dc, outcome.delta,
                      std::move(result.state),   std::move(outcome.applied)};
}

Result<MutationsResolution> apply_triggered_mutations(const json::Value& state, const json::Value& mutations,
                                                      std::string_view actor, std::optional<std::string_view> target,
                                                      std::uint64_t seed) {
  math::Pcg32 rng = math::Pcg32::seeded(seed);
  return apply_on_copy(state, mutations, actor, target, rng);
}

}  // namespace kest::ruleset
