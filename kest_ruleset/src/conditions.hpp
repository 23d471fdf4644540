// Degree conditions: the tests that grade a check, also the condition of an "if" mutation; each
// kind compiled from its rule JSON, which validates it, and matched from the compiled form.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "context.hpp"
#include "expressions.hpp"
#include "kest/json.hpp"
#include "kest/ruleset.hpp"
#include "working_state.hpp"

namespace kest::ruleset {

struct Condition;

// "or" holds when an element holds ("or" of none never does), "and" when every one does.
struct JunctionCondition {
  bool any;  // "or"
  std::vector<Condition> conditions;
};

enum class CompareOp : std::uint8_t { kGt, kGte, kLt, kLte, kEq, kNe };

struct CompareCondition {
  CompareOp op;
  Operand left;
  Operand right;
};

struct HasTagCondition {
  TargetRef target;
  std::string tag;
};

// The conditions that read the check's delta or natural die.
enum class CheckReading : std::uint8_t { kDeltaGte, kDeltaLte, kNatRollEq, kNatRollGte, kNatRollLte };

struct CheckReadingCondition {
  CheckReading reading;
  std::int64_t value;
};

struct Condition {
  std::variant<JunctionCondition, CompareCondition, HasTagCondition, CheckReadingCondition> node;
};

Result<Condition> compile_condition(const json::Value& condition, ValidationBudget& budget, int depth, bool in_foreach);

// Whether the condition holds on the working state; a trigger passes no quantities. "and" and
// "or" stop at the first element that decides them.
Result<bool> matches(const Condition& condition, WorkingState& world, const EvalContext& context,
                     const CheckQuantities* quantities);

}  // namespace kest::ruleset
