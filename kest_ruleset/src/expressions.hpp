// Integer expressions, target references and the operands of compare conditions: each node kind
// compiled from its rule JSON, which validates it, and evaluated from the compiled form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "context.hpp"
#include "dice.hpp"
#include "kest/json.hpp"
#include "kest/ruleset.hpp"
#include "working_state.hpp"

namespace kest::ruleset {

// Whom a rule names: "actor" and "self" the acting entity, "target" the action's target and
// "each" the entity the innermost foreach_target visits.
enum class TargetRef : std::uint8_t { kActor, kTarget, kEach };

Result<TargetRef> compile_target_ref(std::string_view reference, bool in_foreach);
// The entity id a reference names; it need not exist in the state.
Result<std::string_view> resolve_target_id(TargetRef reference, const EvalContext& context);

// A property of an entity, read by "prop_ref" expressions and "prop" compare operands.
struct PropertyRef {
  TargetRef target;
  std::string property;
};

enum class MathOp : std::uint8_t { kAdd, kSub, kMul, kFloorDiv };

struct Expr;

struct LiteralExpr {
  std::int64_t value;
};
struct DiceExpr {
  DiceEquation equation;
};
struct MathExpr {
  MathOp op;
  std::vector<Expr> sides;  // left, then right
};
struct PropRefExpr {
  PropertyRef reference;
};

struct Expr {
  std::variant<LiteralExpr, DiceExpr, MathExpr, PropRefExpr> node;
};

Result<Expr> compile_expr(const json::Value& node, ValidationBudget& budget, int depth, std::int64_t multiplicity,
                          bool in_foreach);
// Reads the state only; the dice of "dice" nodes are rolled left to right.
Result<std::int64_t> evaluate(const Expr& expr, const WorkingState& state, EvalContext& context);

// The numbers of an evaluated check that compare operands and conditions read.
enum class CheckQuantity : std::uint8_t { kDc, kRoll, kDelta, kNatural };

struct Operand {
  std::variant<CheckQuantity, std::int64_t, PropertyRef> source;  // a literal is its value
};

Result<Operand> compile_operand(const json::Value& operand, ValidationBudget& budget, bool in_foreach);
// The operand's value; none for "natural" when the roll rolled no die.
Result<std::optional<std::int64_t>> resolve(const Operand& operand, const WorkingState& state,
                                            const EvalContext& context, const CheckQuantities* quantities);

// The message that refuses a read of the check's numbers in a trigger, which has none; `reader`
// names what reads them.
std::string outside_check(std::string_view reader);

}  // namespace kest::ruleset
