#include "expressions.hpp"

#include <string>
#include <utility>

#include "kest/result.hpp"
#include "name_table.hpp"
#include "values.hpp"
#include "working_state.hpp"

namespace kest::ruleset {
namespace {

std::string_view string_or_empty(const json::Value& value) {
  const std::string* text = value.if_string();
  return text != nullptr ? std::string_view(*text) : std::string_view();
}

constexpr NameTable<MathOp, 4> kMathOps = {
    {{"add", MathOp::kAdd}, {"sub", MathOp::kSub}, {"mul", MathOp::kMul}, {"floor_div", MathOp::kFloorDiv}}};

constexpr NameTable<CheckQuantity, 4> kCheckQuantities = {{{"dc", CheckQuantity::kDc},
                                                           {"roll", CheckQuantity::kRoll},
                                                           {"delta", CheckQuantity::kDelta},
                                                           {"natural", CheckQuantity::kNatural}}};

// What reads a check quantity, as messages name it.
std::string quantity_reader(CheckQuantity quantity) {
  return "compare operand source " + std::string(name_of(kCheckQuantities, quantity));
}

// The target and property of a "prop_ref" expression or a "prop" operand; `kind` names the
// node in messages.
Result<PropertyRef> compile_property_ref(const json::Value& node, bool in_foreach, std::string_view kind) {
  const std::string* target = node["target"].if_string();
  if (target == nullptr) return fail("AST: " + std::string(kind) + " target must be a string");
  KEST_ASSIGN_OR_RETURN(TargetRef reference, compile_target_ref(*target, in_foreach));
  const std::string* property = node["property"].if_string();
  if (property == nullptr) return fail("AST: " + std::string(kind) + " property must be a string");
  KEST_RETURN_IF_ERROR(assert_clean_name(*property, "property"));
  return PropertyRef{reference, *property};
}

Result<std::int64_t> read_property(const PropertyRef& reference, const WorkingState& state,
                                   const EvalContext& context) {
  KEST_ASSIGN_OR_RETURN(std::string_view id, resolve_target_id(reference.target, context));
  return read_prop(state, id, reference.property);
}

Result<std::int64_t> apply_math(MathOp op, std::int64_t left, std::int64_t right) {
  switch (op) {
    case MathOp::kAdd: return assert_int128(Int128{left} + right, "math result");
    case MathOp::kSub: return assert_int128(Int128{left} - right, "math result");
    case MathOp::kMul: return assert_int128(Int128{left} * right, "math result");
    case MathOp::kFloorDiv: {
      if (right == 0) return 0;  // rules divide by zero to 0
      // JS-safe operands never reach the one overflowing quotient, INT64_MIN / -1.
      KEST_ASSIGN_OR_RETURN(auto quotient, math::floor_div(left, right));
      return assert_int(quotient, "math result");
    }
  }
  return fail("AST: unknown math op");  // unreachable: the switch covers every op
}

Result<std::int64_t> evaluate_node(const LiteralExpr& literal, const WorkingState&, EvalContext&) {
  return literal.value;
}

Result<std::int64_t> evaluate_node(const DiceExpr& dice, const WorkingState&, EvalContext& context) {
  return roll_dice(dice.equation, context);
}

Result<std::int64_t> evaluate_node(const MathExpr& math, const WorkingState& state, EvalContext& context) {
  // Both sides are evaluated, and their dice rolled, left first.
  KEST_ASSIGN_OR_RETURN(std::int64_t left, evaluate(math.sides[0], state, context));
  KEST_ASSIGN_OR_RETURN(std::int64_t right, evaluate(math.sides[1], state, context));
  return apply_math(math.op, left, right);
}

Result<std::int64_t> evaluate_node(const PropRefExpr& prop_ref, const WorkingState& state, EvalContext& context) {
  return read_property(prop_ref.reference, state, context);
}

}  // namespace

Result<TargetRef> compile_target_ref(std::string_view reference, bool in_foreach) {
  if (reference == "actor" || reference == "self") return TargetRef::kActor;
  if (reference == "target") return TargetRef::kTarget;
  if (reference == "each") {
    if (in_foreach) return TargetRef::kEach;
    return fail("AST: target ref each is only valid inside a foreach_target body");
  }
  return fail("AST: unknown target ref: " + std::string(reference));
}

Result<std::string_view> resolve_target_id(TargetRef reference, const EvalContext& context) {
  switch (reference) {
    case TargetRef::kActor: return context.actor;
    case TargetRef::kTarget:
      if (!context.target) return fail("AST: action references target but none supplied");
      return *context.target;
    case TargetRef::kEach:
      if (!context.each) return fail("AST: target ref each has no foreach_target binding");
      return *context.each;
  }
  return fail("AST: unknown target ref");  // unreachable: the switch covers every reference
}

Result<Expr> compile_expr(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                          bool in_foreach) {
  KEST_RETURN_IF_ERROR(charge_node(budget));
  if (depth > kMaxDepth) return fail("AST: expression exceeds max depth " + std::to_string(kMaxDepth));
  const std::string* type = node["type"].if_string();
  if (type == nullptr) return fail("AST: malformed expression node");
  if (*type == "dice") {
    const std::string* equation = node["equation"].if_string();
    if (equation == nullptr) return fail("AST: dice equation must be a string");
    KEST_ASSIGN_OR_RETURN(DiceEquation parsed, parse_dice(*equation));
    KEST_RETURN_IF_ERROR(charge_dice(budget, parsed.count, multiplicity));
    return Expr{DiceExpr{parsed}};
  }
  if (*type == "math") {
    std::string_view op_name = string_or_empty(node["op"]);
    std::optional<MathOp> op = value_named(kMathOps, op_name);
    if (!op) return fail("AST: unknown math op: " + std::string(op_name));
    MathExpr math{*op, {}};
    math.sides.reserve(2);
    for (std::string_view side : {"left", "right"}) {
      KEST_ASSIGN_OR_RETURN(Expr operand, compile_expr(node[side], budget, depth + 1, multiplicity, in_foreach));
      math.sides.push_back(std::move(operand));
    }
    return Expr{std::move(math)};
  }
  if (*type == "prop_ref") {
    KEST_ASSIGN_OR_RETURN(PropertyRef reference, compile_property_ref(node, in_foreach, "prop_ref"));
    return Expr{PropRefExpr{std::move(reference)}};
  }
  if (*type == "literal") {
    KEST_ASSIGN_OR_RETURN(std::int64_t value, value_int(node["value"], "literal"));
    return Expr{LiteralExpr{value}};
  }
  return fail("AST: unknown expression node type: " + *type);
}

Result<std::int64_t> evaluate(const Expr& expr, const WorkingState& state, EvalContext& context) {
  return std::visit([&](const auto& node) { return evaluate_node(node, state, context); }, expr.node);
}

Result<Operand> compile_operand(const json::Value& operand, ValidationBudget& budget, bool in_foreach) {
  KEST_RETURN_IF_ERROR(charge_node(budget));
  const std::string* source = operand["source"].if_string();
  if (source == nullptr) return fail("AST: malformed compare operand");
  if (std::optional<CheckQuantity> quantity = value_named(kCheckQuantities, *source)) {
    if (budget.in_trigger) return fail(outside_check(quantity_reader(*quantity)));
    return Operand{*quantity};
  }
  if (*source == "prop") {
    KEST_ASSIGN_OR_RETURN(PropertyRef reference, compile_property_ref(operand, in_foreach, "compare prop operand"));
    return Operand{std::move(reference)};
  }
  if (*source == "literal") {
    KEST_ASSIGN_OR_RETURN(std::int64_t value, value_int(operand["value"], "compare literal operand"));
    return Operand{value};
  }
  return fail("AST: unknown compare operand source: " + *source);
}

Result<std::optional<std::int64_t>> resolve(const Operand& operand, const WorkingState& state,
                                            const EvalContext& context, const CheckQuantities* quantities) {
  if (const std::int64_t* literal = std::get_if<std::int64_t>(&operand.source)) return *literal;
  if (const PropertyRef* reference = std::get_if<PropertyRef>(&operand.source)) {
    return read_property(*reference, state, context);
  }
  const CheckQuantity quantity = std::get<CheckQuantity>(operand.source);
  if (quantities == nullptr) return fail(outside_check(quantity_reader(quantity)));
  switch (quantity) {
    case CheckQuantity::kDc: return quantities->dc;
    case CheckQuantity::kRoll: return quantities->roll;
    case CheckQuantity::kDelta: return quantities->delta;
    case CheckQuantity::kNatural: return quantities->natural;
  }
  return std::nullopt;  // unreachable: the switch covers every quantity
}

std::string outside_check(std::string_view reader) {
  return "AST: " + std::string(reader) + " is not valid in trigger context";
}

}  // namespace kest::ruleset
