#include <gtest/gtest.h>

#include "kest/ids.hpp"

namespace kest::ruleset {
namespace {

TEST(CompareIds, NumericByValueFirst) {
  EXPECT_LT(compare_ids("2", "10"), 0);
  EXPECT_LT(compare_ids("10", "a"), 0);
}

}  // namespace
}  // namespace kest::ruleset
