// The entry points: compile the whole rule, which validates it, then run the compiled tree. The
// in-place forms edit the caller's state and take every edit back when the rule fails; the others
// run on one copy of the state.
#include <memory>
#include <utility>

#include "check.hpp"
#include "context.hpp"
#include "kest/result.hpp"
#include "kest/ruleset.hpp"
#include "mutations.hpp"
#include "working_state.hpp"

namespace kest::ruleset {
namespace {

// Runs a compiled check on `state`, keeping its edits only when it succeeds.
Result<CheckOutcome> run(const CompiledCheck& check, json::Value& state, SelectionIndex& selections,
                         std::string_view actor, std::optional<std::string_view> target, math::DieRoller& dice) {
  WorkingState world(state, selections);
  Result<CheckOutcome> outcome = evaluate(check, world, actor, target, dice);
  if (outcome) world.commit();
  return outcome;
}

// Applies a compiled trigger list to `state`, keeping its edits only when it succeeds.
Result<std::vector<AppliedMutation>> run(const CompiledTrigger& trigger, json::Value& state, SelectionIndex& selections,
                                         std::string_view actor, std::optional<std::string_view> target,
                                         math::DieRoller& dice) {
  WorkingState world(state, selections);
  EvalContext context{actor, target, std::nullopt, dice, std::nullopt};
  std::vector<AppliedMutation> applied;
  KEST_RETURN_IF_ERROR(apply(trigger.mutations, world, context, nullptr, applied));
  world.commit();
  return applied;
}

// Runs a compiled rule on `state` in place with an index of its own, handed back at the end.
template <typename Tree>
auto run_alone(const Tree& tree, json::Value& state, std::string_view actor, std::optional<std::string_view> target,
               math::DieRoller& dice) {
  SelectionIndex selections;
  auto outcome = run(tree, state, selections, actor, target, dice);
  selections.hand_back(state);
  return outcome;
}

// Runs a compiled rule on a copy of `state`, made only once the rule has compiled.
template <typename Outcome, typename Tree>
Result<WithState<Outcome>> run_on_copy(const Tree& tree, const json::Value& state, std::string_view actor,
                                       std::optional<std::string_view> target, std::uint64_t seed) {
  math::Pcg32 dice = math::Pcg32::seeded(seed);
  json::Value working = state;
  KEST_ASSIGN_OR_RETURN(Outcome outcome, run_alone(tree, working, actor, target, dice));
  return WithState<Outcome>{std::move(working), std::move(outcome)};
}

}  // namespace

Result<void> validate_check(const json::Value& check) {
  KEST_RETURN_IF_ERROR(compile_check(check));
  return {};
}

Result<void> validate_triggered_mutations(const json::Value& mutations) {
  KEST_RETURN_IF_ERROR(compile_trigger(mutations));
  return {};
}

Result<ValidatedCheck> vet_check(const json::Value& check) {
  KEST_ASSIGN_OR_RETURN(CompiledCheck tree, compile_check(check));
  return ValidatedCheck(std::make_shared<const CompiledCheck>(std::move(tree)));
}

Result<ValidatedTrigger> vet_triggered_mutations(const json::Value& mutations) {
  KEST_ASSIGN_OR_RETURN(CompiledTrigger tree, compile_trigger(mutations));
  return ValidatedTrigger(std::make_shared<const CompiledTrigger>(std::move(tree)));
}

Result<CheckOutcome> evaluate_action_in_place(json::Value& state, SelectionIndex& selections,
                                              const ValidatedCheck& check, std::string_view actor,
                                              std::optional<std::string_view> target, math::DieRoller& dice) {
  return run(check.tree(), state, selections, actor, target, dice);
}

Result<std::vector<AppliedMutation>> apply_triggered_mutations_in_place(json::Value& state, SelectionIndex& selections,
                                                                        const ValidatedTrigger& mutations,
                                                                        std::string_view actor,
                                                                        std::optional<std::string_view> target,
                                                                        math::DieRoller& dice) {
  return run(mutations.tree(), state, selections, actor, target, dice);
}

Result<CheckOutcome> evaluate_action_in_place(json::Value& state, const json::Value& check, std::string_view actor,
                                              std::optional<std::string_view> target, math::DieRoller& dice) {
  KEST_ASSIGN_OR_RETURN(CompiledCheck tree, compile_check(check));
  return run_alone(tree, state, actor, target, dice);
}

Result<std::vector<AppliedMutation>> apply_triggered_mutations_in_place(json::Value& state,
                                                                        const json::Value& mutations,
                                                                        std::string_view actor,
                                                                        std::optional<std::string_view> target,
                                                                        math::DieRoller& dice) {
  KEST_ASSIGN_OR_RETURN(CompiledTrigger tree, compile_trigger(mutations));
  return run_alone(tree, state, actor, target, dice);
}

Result<ActionResult> evaluate_action(const json::Value& state, const json::Value& check, std::string_view actor,
                                     std::optional<std::string_view> target, std::uint64_t seed) {
  KEST_ASSIGN_OR_RETURN(CompiledCheck tree, compile_check(check));
  return run_on_copy<CheckOutcome>(tree, state, actor, target, seed);
}

Result<MutationsResolution> apply_triggered_mutations(const json::Value& state, const json::Value& mutations,
                                                      std::string_view actor, std::optional<std::string_view> target,
                                                      std::uint64_t seed) {
  KEST_ASSIGN_OR_RETURN(CompiledTrigger tree, compile_trigger(mutations));
  return run_on_copy<std::vector<AppliedMutation>>(tree, state, actor, target, seed);
}

}  // namespace kest::ruleset
