#include "expressions.hpp"

#include <string>

#include "dice.hpp"
#include "kest/result.hpp"
#include "values.hpp"
#include "working_state.hpp"

namespace kest::ruleset::old {
namespace {

std::string_view string_or_empty(const json::Value& value) {
  const std::string* text = value.if_string();
  return text != nullptr ? std::string_view(*text) : std::string_view();
}

bool is_math_op(std::string_view op) { return op == "add" || op == "sub" || op == "mul" || op == "floor_div"; }

// The target and property of a "prop_ref" expression or a "prop" operand; `kind` names the
// node in messages.
Result<void> validate_prop_reference(const json::Value& node, bool in_foreach, std::string_view kind) {
  const std::string* target = node["target"].if_string();
  if (target == nullptr) return fail("AST: " + std::string(kind) + " target must be a string");
  KEST_RETURN_IF_ERROR(validate_target_ref(*target, in_foreach));
  const std::string* property = node["property"].if_string();
  if (property == nullptr) return fail("AST: " + std::string(kind) + " property must be a string");
  return assert_clean_name(*property, "property");
}

Result<std::int64_t> read_prop_reference(const json::Value& node, const WorkingState& state, const EvalContext& context,
                                         std::string_view kind) {
  const std::string* target = node["target"].if_string();
  if (target == nullptr) return fail("AST: " + std::string(kind) + " target must be a string");
  KEST_ASSIGN_OR_RETURN(std::string_view id, resolve_target_id(*target, context));
  const std::string* property = node["property"].if_string();
  if (property == nullptr) return fail("AST: " + std::string(kind) + " property must be a string");
  return read_prop(state, id, *property);
}

Result<std::int64_t> apply_math(std::string_view op, std::int64_t left, std::int64_t right) {
  if (op == "add") return assert_int128(Int128{left} + right, "math result");
  if (op == "sub") return assert_int128(Int128{left} - right, "math result");
  if (op == "mul") return assert_int128(Int128{left} * right, "math result");
  if (op == "floor_div") {
    if (right == 0) return 0;  // rules divide by zero to 0
    // JS-safe operands never reach the one overflowing quotient, INT64_MIN / -1.
    KEST_ASSIGN_OR_RETURN(auto quotient, math::floor_div(left, right));
    return assert_int(quotient, "math result");
  }
  return fail("AST: unknown math op: " + std::string(op));
}

bool is_check_quantity(std::string_view source) {
  return source == "dc" || source == "roll" || source == "delta" || source == "natural";
}

}  // namespace

Result<void> validate_expr(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                           bool in_foreach) {
  KEST_RETURN_IF_ERROR(charge_node(budget));
  if (depth > kMaxDepth) return fail("AST: expression exceeds max depth " + std::to_string(kMaxDepth));
  const std::string* type = node["type"].if_string();
  if (type == nullptr) return fail("AST: malformed expression node");
  if (*type == "dice") {
    const std::string* equation = node["equation"].if_string();
    if (equation == nullptr) return fail("AST: dice equation must be a string");
    KEST_ASSIGN_OR_RETURN(DiceEquation parsed, parse_dice(*equation));
    return charge_dice(budget, parsed.count, multiplicity);
  }
  if (*type == "math") {
    std::string_view op = string_or_empty(node["op"]);
    if (!is_math_op(op)) return fail("AST: unknown math op: " + std::string(op));
    KEST_RETURN_IF_ERROR(validate_expr(node["left"], budget, depth + 1, multiplicity, in_foreach));
    return validate_expr(node["right"], budget, depth + 1, multiplicity, in_foreach);
  }
  if (*type == "prop_ref") return validate_prop_reference(node, in_foreach, "prop_ref");
  if (*type == "literal") {
    KEST_RETURN_IF_ERROR(value_int(node["value"], "literal"));
    return {};
  }
  return fail("AST: unknown expression node type: " + *type);
}

Result<std::int64_t> eval_expr(const json::Value& node, const WorkingState& state, EvalContext& context, int depth) {
  if (depth > kMaxDepth) return fail("AST: expression exceeds max depth " + std::to_string(kMaxDepth));
  const std::string* type = node["type"].if_string();
  if (type == nullptr) return fail("AST: malformed expression node");
  if (*type == "dice") {
    const std::string* equation = node["equation"].if_string();
    if (equation == nullptr) return fail("AST: dice equation must be a string");
    return roll_equation(*equation, context);
  }
  if (*type == "math") {
    // Both sides are evaluated, and their dice rolled, before the op is looked at.
    Result<std::int64_t> left = eval_expr(node["left"], state, context, depth + 1);
    if (!left) return left;
    Result<std::int64_t> right = eval_expr(node["right"], state, context, depth + 1);
    if (!right) return right;
    const std::string* op = node["op"].if_string();
    if (op == nullptr) return fail("AST: math op missing");
    return apply_math(*op, *left, *right);
  }
  if (*type == "prop_ref") return read_prop_reference(node, state, context, "prop_ref");
  if (*type == "literal") return value_int(node["value"], "literal");
  return fail("AST: unknown expression node type: " + *type);
}

Result<void> validate_target_ref(std::string_view reference, bool in_foreach) {
  if (reference == "actor" || reference == "self" || reference == "target") return {};
  if (reference == "each") {
    if (in_foreach) return {};
    return fail("AST: target ref each is only valid inside a foreach_target body");
  }
  return fail("AST: unknown target ref: " + std::string(reference));
}

Result<std::string_view> resolve_target_id(std::string_view reference, const EvalContext& context) {
  if (reference == "actor" || reference == "self") return context.actor;
  if (reference == "target") {
    if (!context.target) return fail("AST: action references target but none supplied");
    return *context.target;
  }
  if (reference == "each") {
    if (!context.each) return fail("AST: target ref each has no foreach_target binding");
    return *context.each;
  }
  return fail("AST: unknown target ref: " + std::string(reference));
}

Result<void> validate_operand(const json::Value& operand, ValidationBudget& budget, bool in_foreach) {
  KEST_RETURN_IF_ERROR(charge_node(budget));
  const std::string* source = operand["source"].if_string();
  if (source == nullptr) return fail("AST: malformed compare operand");
  if (is_check_quantity(*source)) {
    if (budget.in_trigger) return fail("AST: compare operand source " + *source + " is not valid in trigger context");
    return {};
  }
  if (*source == "prop") return validate_prop_reference(operand, in_foreach, "compare prop operand");
  if (*source == "literal") {
    KEST_RETURN_IF_ERROR(value_int(operand["value"], "compare literal operand"));
    return {};
  }
  return fail("AST: unknown compare operand source: " + *source);
}

Result<std::optional<std::int64_t>> resolve_operand(const json::Value& operand, const WorkingState& state,
                                                    const EvalContext& context, const CheckQuantities* quantities) {
  const std::string* source = operand["source"].if_string();
  if (source == nullptr) return fail("AST: malformed compare operand");
  if (is_check_quantity(*source)) {
    KEST_ASSIGN_OR_RETURN(const CheckQuantities* q,
                          require_check_quantities(quantities, "compare operand source " + *source));
    if (*source == "dc") return q->dc;
    if (*source == "roll") return q->roll;
    if (*source == "delta") return q->delta;
    return q->natural;
  }
  if (*source == "literal") return value_int(operand["value"], "compare literal operand");
  if (*source == "prop") return read_prop_reference(operand, state, context, "compare prop operand");
  return fail("AST: unknown compare operand source: " + *source);
}

Result<const CheckQuantities*> require_check_quantities(const CheckQuantities* quantities, std::string_view label) {
  if (quantities == nullptr) return fail("AST: " + std::string(label) + " is not valid in trigger context");
  return quantities;
}

}  // namespace kest::ruleset::old
