#include <gtest/gtest.h>

#include <set>
#include <string_view>

#include "kest/mutation_op.hpp"

namespace kest::ruleset {
namespace {

TEST(MutationOp, EveryOperationHasItsOwnNameThatReadsBack) {
  std::set<std::string_view> names;
  for (MutationOp op : kMutationOps) {
    EXPECT_EQ(mutation_op_from_name(mutation_op_name(op)), op);
    names.insert(mutation_op_name(op));
  }
  EXPECT_EQ(names.size(), kMutationOps.size());
}

TEST(MutationOp, OtherNamesAreNone) {
  for (std::string_view name : {"", "set_prop ", "SET_PROP", "if", "repeat", "foreach_target", "add_tags", "add"}) {
    EXPECT_EQ(mutation_op_from_name(name), std::nullopt) << name;
  }
}

}  // namespace
}  // namespace kest::ruleset
