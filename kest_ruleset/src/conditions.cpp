#include "conditions.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "kest/result.hpp"
#include "name_table.hpp"
#include "values.hpp"
#include "working_state.hpp"

namespace kest::ruleset {
namespace {

constexpr NameTable<CompareOp, 6> kCompareOps = {{{"gt", CompareOp::kGt},
                                                  {"gte", CompareOp::kGte},
                                                  {"lt", CompareOp::kLt},
                                                  {"lte", CompareOp::kLte},
                                                  {"eq", CompareOp::kEq},
                                                  {"ne", CompareOp::kNe}}};

constexpr NameTable<CheckReading, 5> kCheckReadings = {{{"delta_gte", CheckReading::kDeltaGte},
                                                        {"delta_lte", CheckReading::kDeltaLte},
                                                        {"nat_roll_eq", CheckReading::kNatRollEq},
                                                        {"nat_roll_gte", CheckReading::kNatRollGte},
                                                        {"nat_roll_lte", CheckReading::kNatRollLte}}};

Result<Condition> compile_junction(std::string_view type, const json::Value& condition, ValidationBudget& budget,
                                   int depth, bool in_foreach) {
  const bool any = type == "or";
  const json::Array* elements = condition["conditions"].if_array();
  if (any && elements == nullptr) return fail("AST: or condition requires a conditions array");
  if (!any && (elements == nullptr || elements->empty())) return fail("AST: and requires a non-empty conditions array");
  JunctionCondition junction{any, {}};
  junction.conditions.reserve(std::min(elements->size(), static_cast<std::size_t>(kMaxNodes)));
  for (const json::Value& element : *elements) {
    KEST_ASSIGN_OR_RETURN(Condition compiled, compile_condition(element, budget, depth + 1, in_foreach));
    junction.conditions.push_back(std::move(compiled));
  }
  return Condition{std::move(junction)};
}

Result<Condition> compile_compare(const json::Value& condition, ValidationBudget& budget, bool in_foreach) {
  const std::string* op_name = condition["op"].if_string();
  std::optional<CompareOp> op = op_name != nullptr ? value_named(kCompareOps, *op_name) : std::nullopt;
  if (!op) return fail("AST: unknown compare op: " + (op_name != nullptr ? *op_name : std::string()));
  KEST_ASSIGN_OR_RETURN(Operand left, compile_operand(condition["left"], budget, in_foreach));
  KEST_ASSIGN_OR_RETURN(Operand right, compile_operand(condition["right"], budget, in_foreach));
  return Condition{CompareCondition{*op, std::move(left), std::move(right)}};
}

Result<Condition> compile_has_tag(const json::Value& condition, bool in_foreach) {
  const std::string* target = condition["target"].if_string();
  if (target == nullptr) return fail("AST: has_tag target must be a string");
  KEST_ASSIGN_OR_RETURN(TargetRef reference, compile_target_ref(*target, in_foreach));
  const std::string* tag = condition["tag"].if_string();
  if (tag == nullptr) return fail("AST: tag must be a string");
  KEST_RETURN_IF_ERROR(assert_clean_name(*tag, "tag"));
  return Condition{HasTagCondition{reference, *tag}};
}

Result<Condition> compile_check_reading(std::string_view type, CheckReading reading, const json::Value& condition,
                                        const ValidationBudget& budget) {
  if (budget.in_trigger) return fail(outside_check(type));
  KEST_ASSIGN_OR_RETURN(std::int64_t value, value_int(condition["value"], type));
  return Condition{CheckReadingCondition{reading, value}};
}

bool compare(CompareOp op, std::int64_t left, std::int64_t right) {
  switch (op) {
    case CompareOp::kGt: return left > right;
    case CompareOp::kGte: return left >= right;
    case CompareOp::kLt: return left < right;
    case CompareOp::kLte: return left <= right;
    case CompareOp::kEq: return left == right;
    case CompareOp::kNe: return left != right;
  }
  return false;  // unreachable: the switch covers every op
}

Result<bool> match(const JunctionCondition& junction, WorkingState& world, const EvalContext& context,
                   const CheckQuantities* quantities) {
  // "or" stops at the first element that holds, "and" at the first that does not.
  for (const Condition& element : junction.conditions) {
    Result<bool> matched = matches(element, world, context, quantities);
    if (!matched || *matched == junction.any) return matched;
  }
  return !junction.any;
}

Result<bool> match(const CompareCondition& comparison, WorkingState& world, const EvalContext& context,
                   const CheckQuantities* quantities) {
  KEST_ASSIGN_OR_RETURN(std::optional<std::int64_t> left, resolve(comparison.left, world, context, quantities));
  KEST_ASSIGN_OR_RETURN(std::optional<std::int64_t> right, resolve(comparison.right, world, context, quantities));
  if (!left || !right) return false;
  return compare(comparison.op, *left, *right);
}

Result<bool> match(const HasTagCondition& has_tag, WorkingState& world, const EvalContext& context,
                   const CheckQuantities*) {
  KEST_ASSIGN_OR_RETURN(std::string_view id, resolve_target_id(has_tag.target, context));
  return world.entity_has_tag(id, has_tag.tag);
}

Result<bool> match(const CheckReadingCondition& reading, WorkingState&, const EvalContext&,
                   const CheckQuantities* quantities) {
  if (quantities == nullptr) return fail(outside_check(name_of(kCheckReadings, reading.reading)));
  const std::optional<std::int64_t>& natural = quantities->natural;
  switch (reading.reading) {
    case CheckReading::kDeltaGte: return quantities->delta >= reading.value;
    case CheckReading::kDeltaLte: return quantities->delta <= reading.value;
    case CheckReading::kNatRollEq: return natural && *natural == reading.value;
    case CheckReading::kNatRollGte: return natural && *natural >= reading.value;
    case CheckReading::kNatRollLte: return natural && *natural <= reading.value;
  }
  return false;  // unreachable: the switch covers every reading
}

}  // namespace

Result<Condition> compile_condition(const json::Value& condition, ValidationBudget& budget, int depth,
                                    bool in_foreach) {
  KEST_RETURN_IF_ERROR(charge_node(budget));
  if (depth > kMaxDepth) return fail("AST: degree condition exceeds max depth " + std::to_string(kMaxDepth));
  const std::string* type = condition["type"].if_string();
  if (type == nullptr) return fail("AST: malformed degree condition");
  if (*type == "or" || *type == "and") return compile_junction(*type, condition, budget, depth, in_foreach);
  if (*type == "compare") return compile_compare(condition, budget, in_foreach);
  if (*type == "has_tag") return compile_has_tag(condition, in_foreach);
  if (std::optional<CheckReading> reading = value_named(kCheckReadings, *type)) {
    return compile_check_reading(*type, *reading, condition, budget);
  }
  return fail("AST: unknown degree condition: " + *type);
}

Result<bool> matches(const Condition& condition, WorkingState& world, const EvalContext& context,
                     const CheckQuantities* quantities) {
  return std::visit([&](const auto& node) { return match(node, world, context, quantities); }, condition.node);
}

}  // namespace kest::ruleset
