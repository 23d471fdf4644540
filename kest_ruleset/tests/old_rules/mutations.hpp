// Mutations: the rules that change the world, their validation against the depth, node and
// applied-mutation budgets, and their application to a working state.
#pragma once

#include <cstdint>
#include <vector>

#include "context.hpp"
#include "kest/json.hpp"
#include "kest/ruleset.hpp"
#include "working_state.hpp"

namespace kest::ruleset::old {

// `multiplicity` bounds how often the list can run: the product of the enclosing "repeat" counts
// and "foreach_target" limits.
Result<void> validate_mutation_slice(const json::Array& list, ValidationBudget& budget, int depth,
                                     std::int64_t multiplicity, bool in_foreach);

// Charges one leaf mutation that may run `multiplicity` times.
Result<void> charge_applied(ValidationBudget& budget, std::int64_t multiplicity);

// Applies one node of a list that `validate_mutation_slice` accepted (which bounds how deeply
// its bodies nest), appending a record per applied leaf in execution order.
Result<void> apply_mutation_node(WorkingState& world, const json::Value& node, EvalContext& context,
                                 const CheckQuantities* quantities, std::vector<AppliedMutation>& applied);
// Applies the nodes of a list in order; the first failure stops it.
Result<void> apply_mutation_list(WorkingState& world, const json::Array& list, EvalContext& context,
                                 const CheckQuantities* quantities, std::vector<AppliedMutation>& applied);

// Read by validation and application alike. The "count" of a "repeat" node, failing with the
// range message when it is not a JS-safe integer.
Result<std::int64_t> repeat_count(const json::Value& node);
// The "limit" of a foreach_target "select" object (32 when absent), failing with the range
// message when it is not a JS-safe integer or is negative.
Result<std::int64_t> selection_limit(const json::Value& select);

inline constexpr std::int64_t kMaxRepeatCount = 16;
inline constexpr std::int64_t kMaxSelectionLimit = 32;

}  // namespace kest::ruleset::old
