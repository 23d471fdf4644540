// The rules engine as it read rule JSON directly, kept beside the compiled rule trees so that the
// two can be run side by side on the same rules.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/ruleset.hpp"

namespace kest::ruleset::old {

Result<void> validate_check(const json::Value& check);
Result<void> validate_triggered_mutations(const json::Value& mutations);

Result<CheckOutcome> evaluate_action_in_place(json::Value& state, const json::Value& check, std::string_view actor,
                                              std::optional<std::string_view> target, math::DieRoller& dice);
Result<std::vector<AppliedMutation>> apply_triggered_mutations_in_place(json::Value& state,
                                                                        const json::Value& mutations,
                                                                        std::string_view actor,
                                                                        std::optional<std::string_view> target,
                                                                        math::DieRoller& dice);

}  // namespace kest::ruleset::old
