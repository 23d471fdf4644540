#include "conditions.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "expressions.hpp"
#include "kest/result.hpp"
#include "values.hpp"
#include "working_state.hpp"

namespace kest::ruleset::old {
namespace {

constexpr std::array<std::string_view, 6> kCompareOps = {"gt", "gte", "lt", "lte", "eq", "ne"};

bool is_compare_op(const json::Value& op) {
  const std::string* text = op.if_string();
  return text != nullptr && std::ranges::find(kCompareOps, *text) != kCompareOps.end();
}

// The conditions that read the check's delta or natural die.
bool reads_check(std::string_view type) {
  return type == "delta_gte" || type == "delta_lte" || type == "nat_roll_eq" || type == "nat_roll_gte" ||
         type == "nat_roll_lte";
}

std::string depth_exceeded() { return "AST: degree condition exceeds max depth " + std::to_string(kMaxDepth); }

Result<bool> compare(std::string_view op, std::int64_t left, std::int64_t right) {
  if (op == "gt") return left > right;
  if (op == "gte") return left >= right;
  if (op == "lt") return left < right;
  if (op == "lte") return left <= right;
  if (op == "eq") return left == right;
  if (op == "ne") return left != right;
  return fail("AST: unknown compare op: " + std::string(op));
}

Result<bool> match_compare(const json::Value& condition, const WorkingState& state, const EvalContext& context,
                           const CheckQuantities* quantities) {
  KEST_ASSIGN_OR_RETURN(std::optional<std::int64_t> left,
                        resolve_operand(condition["left"], state, context, quantities));
  KEST_ASSIGN_OR_RETURN(std::optional<std::int64_t> right,
                        resolve_operand(condition["right"], state, context, quantities));
  if (!left || !right) return false;
  const std::string* op = condition["op"].if_string();
  return compare(op != nullptr ? std::string_view(*op) : std::string_view(), *left, *right);
}

Result<bool> match_has_tag(const json::Value& condition, WorkingState& world, const EvalContext& context) {
  const std::string* target = condition["target"].if_string();
  if (target == nullptr) return fail("AST: has_tag target must be a string");
  KEST_ASSIGN_OR_RETURN(std::string_view id, resolve_target_id(*target, context));
  const std::string* tag = condition["tag"].if_string();
  if (tag == nullptr) return fail("AST: tag must be a string");
  return world.entity_has_tag(id, *tag);
}

Result<bool> match_check_reading(std::string_view type, const json::Value& condition,
                                 const CheckQuantities* quantities) {
  KEST_ASSIGN_OR_RETURN(const CheckQuantities* q, require_check_quantities(quantities, type));
  KEST_ASSIGN_OR_RETURN(std::int64_t value, value_int(condition["value"], type));
  const CheckQuantities& numbers = *q;
  if (type == "delta_gte") return numbers.delta >= value;
  if (type == "delta_lte") return numbers.delta <= value;
  if (!numbers.natural) return false;
  if (type == "nat_roll_eq") return *numbers.natural == value;
  if (type == "nat_roll_gte") return *numbers.natural >= value;
  return *numbers.natural <= value;
}

}  // namespace

Result<void> validate_degree_cond(const json::Value& condition, ValidationBudget& budget, int depth, bool in_foreach) {
  KEST_RETURN_IF_ERROR(charge_node(budget));
  if (depth > kMaxDepth) return fail(depth_exceeded());
  const std::string* type = condition["type"].if_string();
  if (type == nullptr) return fail("AST: malformed degree condition");
  if (*type == "or" || *type == "and") {
    const json::Array* conditions = condition["conditions"].if_array();
    if (*type == "or" && conditions == nullptr) return fail("AST: or condition requires a conditions array");
    if (*type == "and" && (conditions == nullptr || conditions->empty())) {
      return fail("AST: and requires a non-empty conditions array");
    }
    for (const json::Value& element : *conditions) {
      KEST_RETURN_IF_ERROR(validate_degree_cond(element, budget, depth + 1, in_foreach));
    }
    return {};
  }
  if (*type == "compare") {
    if (!is_compare_op(condition["op"])) {
      const std::string* op = condition["op"].if_string();
      return fail("AST: unknown compare op: " + (op != nullptr ? *op : std::string()));
    }
    KEST_RETURN_IF_ERROR(validate_operand(condition["left"], budget, in_foreach));
    return validate_operand(condition["right"], budget, in_foreach);
  }
  if (*type == "has_tag") {
    const std::string* target = condition["target"].if_string();
    if (target == nullptr) return fail("AST: has_tag target must be a string");
    KEST_RETURN_IF_ERROR(validate_target_ref(*target, in_foreach));
    const std::string* tag = condition["tag"].if_string();
    if (tag == nullptr) return fail("AST: tag must be a string");
    return assert_clean_name(*tag, "tag");
  }
  if (reads_check(*type)) {
    if (budget.in_trigger) return fail("AST: " + *type + " is not valid in trigger context");
    KEST_RETURN_IF_ERROR(value_int(condition["value"], *type));
    return {};
  }
  return fail("AST: unknown degree condition: " + *type);
}

Result<bool> match_condition(const json::Value& condition, WorkingState& world, const EvalContext& context,
                             const CheckQuantities* quantities, int depth) {
  if (depth > kMaxDepth) return fail(depth_exceeded());
  const std::string* type = condition["type"].if_string();
  if (type == nullptr) return fail("AST: malformed degree condition");
  if (*type == "or" || *type == "and") {
    const json::Array* conditions = condition["conditions"].if_array();
    if (conditions == nullptr) {
      return fail(*type == "or" ? "AST: or condition requires a conditions array"
                                : "AST: and requires a non-empty conditions array");
    }
    // "or" stops at the first true element, "and" at the first false one.
    bool deciding = *type == "or";
    for (const json::Value& element : *conditions) {
      Result<bool> matched = match_condition(element, world, context, quantities, depth + 1);
      if (!matched || *matched == deciding) return matched;
    }
    return !deciding;
  }
  if (*type == "compare") return match_compare(condition, world, context, quantities);
  if (*type == "has_tag") return match_has_tag(condition, world, context);
  if (reads_check(*type)) return match_check_reading(*type, condition, quantities);
  return fail("AST: unknown degree condition: " + *type);
}

}  // namespace kest::ruleset::old
