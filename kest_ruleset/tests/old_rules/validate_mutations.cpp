// Validation of mutation lists: shape, names, depth, and the node, dice and applied budgets.
#include <optional>
#include <string>

#include "conditions.hpp"
#include "expressions.hpp"
#include "kest/result.hpp"
#include "mutations.hpp"
#include "values.hpp"

namespace kest::ruleset::old {
namespace {

std::string repeat_count_out_of_range() {
  return "AST: repeat count must be an integer in 1.." + std::to_string(kMaxRepeatCount);
}

std::string selection_limit_out_of_range() {
  return "AST: foreach_target select.limit must be an integer in 1.." + std::to_string(kMaxSelectionLimit);
}

Result<void> validate_list(const json::Value& list, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                           bool in_foreach, std::string_view not_an_array) {
  const json::Array* array = list.if_array();
  if (array == nullptr) return fail(std::string(not_an_array));
  return validate_mutation_slice(*array, budget, depth, multiplicity, in_foreach);
}

// The multiplicity of a body that runs `times` times per run of its node.
Result<std::int64_t> body_multiplicity(std::int64_t times, std::int64_t multiplicity, std::string_view node) {
  std::int64_t body = times * multiplicity;
  if (body > kMaxApplied) {
    return fail("AST: applied-mutation budget exceeded (max " + std::to_string(kMaxApplied) +
                "): " + std::string(node) + " multiplicity " + std::to_string(body));
  }
  return body;
}

Result<void> validate_mutation_target(const json::Value& node, bool in_foreach) {
  const std::string* target = node["target"].if_string();
  if (target == nullptr) return fail("AST: mutation target must be a string");
  return validate_target_ref(*target, in_foreach);
}

Result<void> validate_property_mutation(const json::Value& node, ValidationBudget& budget, std::int64_t multiplicity,
                                        bool in_foreach) {
  KEST_RETURN_IF_ERROR(validate_mutation_target(node, in_foreach));
  const std::string* property = node["property"].if_string();
  if (property == nullptr) return fail("AST: property must be a string");
  KEST_RETURN_IF_ERROR(assert_clean_name(*property, "property"));
  KEST_RETURN_IF_ERROR(validate_expr(node["value"], budget, 0, multiplicity, in_foreach));
  return charge_applied(budget, multiplicity);
}

Result<void> validate_tag_mutation(const json::Value& node, ValidationBudget& budget, std::int64_t multiplicity,
                                   bool in_foreach) {
  KEST_RETURN_IF_ERROR(validate_mutation_target(node, in_foreach));
  const std::string* tag = node["tag"].if_string();
  if (tag == nullptr) return fail("AST: tag must be a string");
  KEST_RETURN_IF_ERROR(assert_clean_name(*tag, "tag"));
  return charge_applied(budget, multiplicity);
}

// Both branches are charged, though at most one runs.
Result<void> validate_if(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                         bool in_foreach) {
  KEST_RETURN_IF_ERROR(validate_degree_cond(node["condition"], budget, 0, in_foreach));
  if (auto valid = validate_list(node["then"], budget, depth + 1, multiplicity, in_foreach,
                                 "AST: if.then must be a mutation array");
      !valid) {
    return valid;
  }
  // Only an absent "else" means none; an "else" of null is malformed.
  const json::Value* otherwise = node.find("else");
  if (otherwise == nullptr) return {};
  return validate_list(*otherwise, budget, depth + 1, multiplicity, in_foreach,
                       "AST: if.else must be a mutation array");
}

Result<void> validate_repeat(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                             bool in_foreach) {
  KEST_ASSIGN_OR_RETURN(std::int64_t count, repeat_count(node));
  if (count < 1 || count > kMaxRepeatCount) return fail(repeat_count_out_of_range());
  KEST_ASSIGN_OR_RETURN(std::int64_t body, body_multiplicity(count, multiplicity, "repeat"));
  return validate_list(node["mutations"], budget, depth + 1, body, in_foreach,
                       "AST: repeat.mutations must be an array");
}

Result<void> validate_foreach(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity) {
  const json::Value& select = node["select"];
  if (!select.is_object()) return fail("AST: foreach_target.select must be an object");
  const std::string* tag = select["tag"].if_string();
  if (tag == nullptr) return fail("AST: tag name must be a non-empty string");
  KEST_RETURN_IF_ERROR(assert_clean_name(*tag, "tag"));
  KEST_ASSIGN_OR_RETURN(std::int64_t limit, selection_limit(select));
  if (limit < 1 || limit > kMaxSelectionLimit) return fail(selection_limit_out_of_range());
  KEST_ASSIGN_OR_RETURN(std::int64_t body, body_multiplicity(limit, multiplicity, "foreach_target"));
  return validate_list(node["mutations"], budget, depth + 1, body, true,
                       "AST: foreach_target.mutations must be an array");
}

Result<void> validate_mutation(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                               bool in_foreach) {
  KEST_RETURN_IF_ERROR(charge_node(budget));
  const std::string* type = node["type"].if_string();
  if (type == nullptr) return fail("AST: malformed mutation node");
  if (std::optional<MutationOp> op = mutation_op_from_name(*type)) {
    return edits_property(*op) ? validate_property_mutation(node, budget, multiplicity, in_foreach)
                               : validate_tag_mutation(node, budget, multiplicity, in_foreach);
  }
  if (*type == "if") return validate_if(node, budget, depth, multiplicity, in_foreach);
  if (*type == "repeat") return validate_repeat(node, budget, depth, multiplicity, in_foreach);
  if (*type == "foreach_target") return validate_foreach(node, budget, depth, multiplicity);
  return fail("AST: unknown mutation node type: " + *type);
}

}  // namespace

Result<void> validate_mutation_slice(const json::Array& list, ValidationBudget& budget, int depth,
                                     std::int64_t multiplicity, bool in_foreach) {
  if (depth > kMaxDepth) return fail("AST: mutation structure exceeds max depth " + std::to_string(kMaxDepth));
  for (const json::Value& node : list) {
    KEST_RETURN_IF_ERROR(validate_mutation(node, budget, depth, multiplicity, in_foreach));
  }
  return {};
}

Result<void> charge_applied(ValidationBudget& budget, std::int64_t multiplicity) {
  budget.applied += multiplicity;
  if (budget.applied > kMaxApplied) {
    return fail("AST: applied-mutation budget exceeded (max " + std::to_string(kMaxApplied) + ")");
  }
  return {};
}

Result<std::int64_t> repeat_count(const json::Value& node) {
  Result<std::int64_t> count = value_int(node["count"], "repeat count");
  if (!count) return fail(repeat_count_out_of_range());
  return count;
}

Result<std::int64_t> selection_limit(const json::Value& select) {
  const json::Value* limit = select.find("limit");
  if (limit == nullptr) return kMaxSelectionLimit;
  Result<std::int64_t> value = value_int(*limit, "foreach_target select.limit");
  if (!value || *value < 0) return fail(selection_limit_out_of_range());
  return value;
}

}  // namespace kest::ruleset::old
