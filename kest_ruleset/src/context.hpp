// What compiling and evaluating carry through a rule: the limits, the budget compiling charges,
// the numbers of an evaluated check and the evaluation context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kest/math.hpp"
#include "kest/result.hpp"
#include "kest/ruleset.hpp"

namespace kest::ruleset {

// How deep expressions, degree conditions and mutation lists may nest (a root is at depth 0).
inline constexpr int kMaxDepth = 16;
inline constexpr std::int64_t kMaxNodes = 256;
inline constexpr std::int64_t kMaxDice = 1000;
// Also the largest multiplicity of a node inside "repeat" and "foreach_target" bodies.
inline constexpr std::int64_t kMaxApplied = 1024;
// The most entities a "foreach_target" selection scans.
inline constexpr std::size_t kMaxWorldEntities = 65536;

// Bounds the size of one check or trigger list. The counters only grow.
struct ValidationBudget {
  std::int64_t nodes = 0;
  std::int64_t dice = 0;
  std::int64_t applied = 0;
  bool in_trigger = false;  // rules outside a check cannot read the roll
};

// Counts one more compiled node: expression, degree condition, compare operand or mutation.
inline Result<void> charge_node(ValidationBudget& budget) {
  if (++budget.nodes > kMaxNodes) return fail("AST: node budget exceeded (max " + std::to_string(kMaxNodes) + ")");
  return {};
}

// The numbers of an evaluated check; a trigger has none.
struct CheckQuantities {
  std::optional<std::int64_t> natural;  // the first die of the roll expression
  std::int64_t roll = 0;
  std::int64_t dc = 0;
  std::int64_t delta = 0;
};

// One evaluation's actors and dice. The ids it names outlive it: the actor and target belong to
// the caller, the "each" binding to the running foreach_target selection.
struct EvalContext {
  std::string_view actor;
  std::optional<std::string_view> target;
  std::optional<std::string_view> each;
  math::DieRoller& dice;
  std::optional<std::int64_t> first_die;  // the face of the first die rolled; set once
};

}  // namespace kest::ruleset
