// Integer expressions, target references and the operands of compare conditions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "context.hpp"
#include "kest/json.hpp"
#include "kest/ruleset.hpp"
#include "working_state.hpp"

namespace kest::ruleset::old {

Result<void> validate_expr(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                           bool in_foreach);
// Reads `state` only; the dice of "dice" nodes are rolled left to right.
Result<std::int64_t> eval_expr(const json::Value& node, const WorkingState& state, EvalContext& context, int depth);

// "actor" and "self" name the acting entity, "target" the action's target and "each" the entity
// the innermost foreach_target visits.
Result<void> validate_target_ref(std::string_view reference, bool in_foreach);
// The entity id a reference names; it need not exist in the state.
Result<std::string_view> resolve_target_id(std::string_view reference, const EvalContext& context);

Result<void> validate_operand(const json::Value& operand, ValidationBudget& budget, bool in_foreach);
// The operand's value; none for "natural" when the roll rolled no die.
Result<std::optional<std::int64_t>> resolve_operand(const json::Value& operand, const WorkingState& state,
                                                    const EvalContext& context, const CheckQuantities* quantities);

// The check's quantities; a trigger (no quantities) cannot read them.
Result<const CheckQuantities*> require_check_quantities(const CheckQuantities* quantities, std::string_view label);

}  // namespace kest::ruleset::old
