#include "mutations.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "kest/result.hpp"
#include "values.hpp"

namespace kest::ruleset {
namespace {

std::string repeat_count_out_of_range() {
  return "AST: repeat count must be an integer in 1.." + std::to_string(kMaxRepeatCount);
}

std::string selection_limit_out_of_range() {
  return "AST: foreach_target select.limit must be an integer in 1.." + std::to_string(kMaxSelectionLimit);
}

// The body of a node: an array, or the `not_an_array` fault.
Result<MutationList> compile_body(const json::Value& list, ValidationBudget& budget, int depth,
                                  std::int64_t multiplicity, bool in_foreach, std::string_view not_an_array) {
  const json::Array* array = list.if_array();
  if (array == nullptr) return fail(std::string(not_an_array));
  return compile_mutation_list(*array, budget, depth, multiplicity, in_foreach);
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

// Both branches are charged, though at most one runs.
Result<Mutation> compile_if(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                            bool in_foreach) {
  KEST_ASSIGN_OR_RETURN(Condition condition, compile_condition(node["condition"], budget, 0, in_foreach));
  KEST_ASSIGN_OR_RETURN(MutationList then, compile_body(node["then"], budget, depth + 1, multiplicity, in_foreach,
                                                        "AST: if.then must be a mutation array"));
  // Only an absent "else" means none; an "else" of null is malformed.
  MutationList otherwise;
  if (const json::Value* branch = node.find("else")) {
    KEST_ASSIGN_OR_RETURN(otherwise, compile_body(*branch, budget, depth + 1, multiplicity, in_foreach,
                                                  "AST: if.else must be a mutation array"));
  }
  return Mutation{IfMutation{std::move(condition), std::move(then), std::move(otherwise)}};
}

Result<Mutation> compile_repeat(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                                bool in_foreach) {
  Result<std::int64_t> count = value_int(node["count"], "repeat count");
  if (!count || *count < 1 || *count > kMaxRepeatCount) return fail(repeat_count_out_of_range());
  KEST_ASSIGN_OR_RETURN(std::int64_t times, body_multiplicity(*count, multiplicity, "repeat"));
  KEST_ASSIGN_OR_RETURN(MutationList body, compile_body(node["mutations"], budget, depth + 1, times, in_foreach,
                                                        "AST: repeat.mutations must be an array"));
  return Mutation{RepeatMutation{*count, std::move(body)}};
}

// The "limit" of a "select" object, 32 when absent.
Result<std::int64_t> selection_limit(const json::Value& select) {
  const json::Value* limit = select.find("limit");
  if (limit == nullptr) return kMaxSelectionLimit;
  Result<std::int64_t> value = value_int(*limit, "foreach_target select.limit");
  if (!value || *value < 1 || *value > kMaxSelectionLimit) return fail(selection_limit_out_of_range());
  return value;
}

Result<Mutation> compile_foreach_target(const json::Value& node, ValidationBudget& budget, int depth,
                                        std::int64_t multiplicity) {
  const json::Value& select = node["select"];
  if (!select.is_object()) return fail("AST: foreach_target.select must be an object");
  const std::string* tag = select["tag"].if_string();
  if (tag == nullptr) return fail("AST: tag name must be a non-empty string");
  KEST_RETURN_IF_ERROR(assert_clean_name(*tag, "tag"));
  KEST_ASSIGN_OR_RETURN(std::int64_t limit, selection_limit(select));
  KEST_ASSIGN_OR_RETURN(std::int64_t times, body_multiplicity(limit, multiplicity, "foreach_target"));
  KEST_ASSIGN_OR_RETURN(MutationList body, compile_body(node["mutations"], budget, depth + 1, times, true,
                                                        "AST: foreach_target.mutations must be an array"));
  return Mutation{ForeachTargetMutation{*tag, limit, std::move(body)}};
}

Result<Mutation> compile_mutation(const json::Value& node, ValidationBudget& budget, int depth,
                                  std::int64_t multiplicity, bool in_foreach) {
  KEST_RETURN_IF_ERROR(charge_node(budget));
  const std::string* type = node["type"].if_string();
  if (type == nullptr) return fail("AST: malformed mutation node");
  if (std::optional<MutationOp> op = mutation_op_from_name(*type)) {
    if (edits_property(*op)) {
      KEST_ASSIGN_OR_RETURN(PropertyEdit edit, compile_property_edit(*op, node, budget, multiplicity, in_foreach));
      return Mutation{std::move(edit)};
    }
    KEST_ASSIGN_OR_RETURN(TagEdit edit, compile_tag_edit(*op, node, budget, multiplicity, in_foreach));
    return Mutation{std::move(edit)};
  }
  if (*type == "if") return compile_if(node, budget, depth, multiplicity, in_foreach);
  if (*type == "repeat") return compile_repeat(node, budget, depth, multiplicity, in_foreach);
  if (*type == "foreach_target") return compile_foreach_target(node, budget, depth, multiplicity);
  return fail("AST: unknown mutation node type: " + *type);
}

Result<void> apply_node(const PropertyEdit& edit, WorkingState& world, EvalContext& context, const CheckQuantities*,
                        std::vector<AppliedMutation>& applied) {
  return apply(edit, world, context, applied);
}

Result<void> apply_node(const TagEdit& edit, WorkingState& world, EvalContext& context, const CheckQuantities*,
                        std::vector<AppliedMutation>& applied) {
  return apply(edit, world, context, applied);
}

Result<void> apply_node(const IfMutation& branch, WorkingState& world, EvalContext& context,
                        const CheckQuantities* quantities, std::vector<AppliedMutation>& applied) {
  KEST_ASSIGN_OR_RETURN(bool holds, matches(branch.condition, world, context, quantities));
  return apply(holds ? branch.then : branch.otherwise, world, context, quantities, applied);
}

Result<void> apply_node(const RepeatMutation& repeat, WorkingState& world, EvalContext& context,
                        const CheckQuantities* quantities, std::vector<AppliedMutation>& applied) {
  for (std::int64_t i = 0; i < repeat.count; ++i) {
    KEST_RETURN_IF_ERROR(apply(repeat.body, world, context, quantities, applied));
  }
  return {};
}

Result<void> apply_node(const ForeachTargetMutation& foreach, WorkingState& world, EvalContext& context,
                        const CheckQuantities* quantities, std::vector<AppliedMutation>& applied) {
  const json::Object* entities = world.state()["entities"].if_object();
  if (entities == nullptr) return fail("AST: state.entities must be an object");
  if (world.entity_count() > kMaxWorldEntities) {
    return fail("AST: world entity count " + std::to_string(world.entity_count()) + " exceeds MAX_WORLD_ENTITIES (" +
                std::to_string(kMaxWorldEntities) + ") at foreach_target select");
  }
  // Selected once, before the body runs: tags the body changes do not change the visits.
  std::vector<std::string> ids = world.select_tagged(*entities, foreach.tag, static_cast<std::size_t>(foreach.limit));
  std::optional<std::string_view> outer = context.each;
  Result<void> done{};
  for (const std::string& id : ids) {
    context.each = id;
    done = apply(foreach.body, world, context, quantities, applied);
    if (!done) break;
  }
  context.each = outer;  // also on failure: the binding must not outlive `ids`
  return done;
}

}  // namespace

Result<MutationList> compile_mutation_list(const json::Array& list, ValidationBudget& budget, int depth,
                                           std::int64_t multiplicity, bool in_foreach) {
  if (depth > kMaxDepth) return fail("AST: mutation structure exceeds max depth " + std::to_string(kMaxDepth));
  MutationList compiled;
  compiled.reserve(std::min(list.size(), static_cast<std::size_t>(kMaxNodes)));  // a longer list fails on its budget
  for (const json::Value& node : list) {
    KEST_ASSIGN_OR_RETURN(Mutation mutation, compile_mutation(node, budget, depth, multiplicity, in_foreach));
    compiled.push_back(std::move(mutation));
  }
  return compiled;
}

Result<CompiledTrigger> compile_trigger(const json::Value& mutations) {
  const json::Array* list = mutations.if_array();
  if (list == nullptr) return fail("AST: mutations must be an array");
  ValidationBudget budget;
  budget.in_trigger = true;
  KEST_ASSIGN_OR_RETURN(MutationList compiled, compile_mutation_list(*list, budget, 0, 1, false));
  return CompiledTrigger{std::move(compiled)};
}

Result<void> apply(const MutationList& list, WorkingState& world, EvalContext& context,
                   const CheckQuantities* quantities, std::vector<AppliedMutation>& applied) {
  for (const Mutation& mutation : list) {
    KEST_RETURN_IF_ERROR(std::visit(
        [&](const auto& node) { return apply_node(node, world, context, quantities, applied); }, mutation.node));
  }
  return {};
}

}  // namespace kest::ruleset
