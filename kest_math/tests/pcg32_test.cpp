#include <gtest/gtest.h>

#include "kest/math.hpp"

namespace kest::math {
namespace {

TEST(Pcg32, SeededZeroMatchesReferenceOutputs) {
  Pcg32 generator = Pcg32::seeded(0);
  EXPECT_EQ(generator.state(), 18170239111238241250ULL);
  EXPECT_EQ(generator.steps(), 2U);
  EXPECT_EQ(generator.next(), 174444157U);
  EXPECT_EQ(generator.next(), 2543941438U);
  EXPECT_EQ(generator.next(), 3225358906U);
  EXPECT_EQ(generator.steps(), 5U);
}

}  // namespace
}  // namespace kest::math
