// Evaluation of a check: roll against difficulty, graded into a degree whose mutations apply.
#pragma once

#include <optional>
#include <string_view>

#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/ruleset.hpp"
#include "working_state.hpp"

namespace kest::ruleset::old {

// Runs a check that `validate_check` accepted on the working state. Degree conditions see the
// state before any of the check's mutations.
Result<CheckOutcome> eval_check_core(WorkingState& world, const json::Value& check, std::string_view actor,
                                     std::optional<std::string_view> target, math::DieRoller& dice);

}  // namespace kest::ruleset::old
