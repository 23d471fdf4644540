#include <gtest/gtest.h>

#include "kest/combat.hpp"

namespace kest::combat {
namespace {

TEST(BandWithin, NearIsWithinFar) { EXPECT_TRUE(band_within("near", "far")); }

}  // namespace
}  // namespace kest::combat
