// Mutation lists: the rules that change the world. A list holds leaf edits and the nodes that
// steer them ("if", "repeat", "foreach_target"); each kind is compiled from its rule JSON, which
// validates it against the depth, node and applied-mutation budgets, and applied from the
// compiled form.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "conditions.hpp"
#include "context.hpp"
#include "kest/json.hpp"
#include "kest/ruleset.hpp"
#include "leaf_mutations.hpp"
#include "working_state.hpp"

namespace kest::ruleset {

struct Mutation;
using MutationList = std::vector<Mutation>;

// Runs "then" when the condition holds, else "otherwise" (empty when the rule has no "else").
struct IfMutation {
  Condition condition;
  MutationList then;
  MutationList otherwise;
};

struct RepeatMutation {
  std::int64_t count;  // 1 ... kMaxRepeatCount
  MutationList body;
};

// Runs the body once for each of the first `limit` entities carrying `tag`, bound to "each".
struct ForeachTargetMutation {
  std::string tag;
  std::int64_t limit;  // 1 ... kMaxSelectionLimit
  MutationList body;
};

struct Mutation {
  std::variant<PropertyEdit, TagEdit, IfMutation, RepeatMutation, ForeachTargetMutation> node;
};

inline constexpr std::int64_t kMaxRepeatCount = 16;
inline constexpr std::int64_t kMaxSelectionLimit = 32;

// `multiplicity` bounds how often the list can run: the product of the enclosing "repeat" counts
// and "foreach_target" limits.
Result<MutationList> compile_mutation_list(const json::Array& list, ValidationBudget& budget, int depth,
                                           std::int64_t multiplicity, bool in_foreach);

// A triggered mutation list, which runs outside a check and so cannot read a check's numbers.
struct CompiledTrigger {
  MutationList mutations;
};

Result<CompiledTrigger> compile_trigger(const json::Value& mutations);

// Applies the nodes in order, appending a record per applied leaf; the first failure stops it.
Result<void> apply(const MutationList& list, WorkingState& world, EvalContext& context,
                   const CheckQuantities* quantities, std::vector<AppliedMutation>& applied);

}  // namespace kest::ruleset
