// Degree conditions: the tests that grade a check, also the condition of an "if" mutation.
#pragma once

#include "context.hpp"
#include "kest/json.hpp"
#include "kest/ruleset.hpp"
#include "working_state.hpp"

namespace kest::ruleset::old {

Result<void> validate_degree_cond(const json::Value& condition, ValidationBudget& budget, int depth, bool in_foreach);

// Evaluates a condition against the working state; a trigger passes no quantities. "and" and "or" stop at
// the first element that decides them.
Result<bool> match_condition(const json::Value& condition, WorkingState& world, const EvalContext& context,
                             const CheckQuantities* quantities, int depth);

}  // namespace kest::ruleset::old
