// The leaf mutations, one per `MutationOp`: property edits ("set_prop", "add_prop", "sub_prop")
// and tag edits ("add_tag", "remove_tag"), each compiled from its rule JSON, which validates it,
// and applied from the compiled form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "context.hpp"
#include "expressions.hpp"
#include "kest/json.hpp"
#include "kest/mutation_op.hpp"
#include "kest/ruleset.hpp"
#include "working_state.hpp"

namespace kest::ruleset {

struct PropertyEdit {
  MutationOp op;
  TargetRef target;
  std::string property;
  Expr value;
};

struct TagEdit {
  MutationOp op;
  TargetRef target;
  std::string tag;
};

// `multiplicity` is how often the edit can run, charged to the applied-mutation budget.
Result<PropertyEdit> compile_property_edit(MutationOp op, const json::Value& node, ValidationBudget& budget,
                                           std::int64_t multiplicity, bool in_foreach);
Result<TagEdit> compile_tag_edit(MutationOp op, const json::Value& node, ValidationBudget& budget,
                                 std::int64_t multiplicity, bool in_foreach);

// Each applies its edit and appends its record to `applied`.
Result<void> apply(const PropertyEdit& edit, WorkingState& world, EvalContext& context,
                   std::vector<AppliedMutation>& applied);
Result<void> apply(const TagEdit& edit, WorkingState& world, const EvalContext& context,
                   std::vector<AppliedMutation>& applied);

}  // namespace kest::ruleset
