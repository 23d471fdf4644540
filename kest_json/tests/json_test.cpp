#include <gtest/gtest.h>

#include "kest/json.hpp"

namespace kest::json {
namespace {

TEST(Parse, KeepsLastValueOfRepeatedKeyAndWritesMembersInKeyOrder) {
  auto value = parse(R"({"b":1,"a":2,"b":3})");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(write(*value), R"({"a":2,"b":3})");
}

}  // namespace
}  // namespace kest::json
