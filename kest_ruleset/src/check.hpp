// Checks: a roll against a difficulty, graded into the first degree whose condition holds, whose
// mutations then apply. Compiled from the rule JSON, which validates it, and evaluated from the
// compiled form.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "conditions.hpp"
#include "expressions.hpp"
#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/ruleset.hpp"
#include "mutations.hpp"
#include "working_state.hpp"

namespace kest::ruleset {

struct GradedDegree {
  std::string_view name;  // one of the degree names a check can select
  Condition condition;
  MutationList mutations;
};

struct CompiledCheck {
  Expr roll;
  Expr dc;
  // The degrees the check can select, strongest first. Degrees of other names are validated
  // with the rest but never chosen, so they are not kept.
  std::vector<GradedDegree> degrees;
};

Result<CompiledCheck> compile_check(const json::Value& check);

// Runs the check on the working state. Degree conditions see the state before any of the
// check's mutations.
Result<CheckOutcome> evaluate(const CompiledCheck& check, WorkingState& world, std::string_view actor,
                              std::optional<std::string_view> target, math::DieRoller& dice);

}  // namespace kest::ruleset
