#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "kest/math.hpp"

namespace kest::math {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// The seeding offset is derived from the other two constants, and seeding is usable at compile time.
static_assert(Pcg32::kSeededStateOffset == Pcg32::kSeededIncrement * (Pcg32::kMultiplier + 1));
static_assert(Pcg32::kSeededIncrement == 2 * 6502698458505894875ULL + 1);
static_assert(Pcg32::seeded(0).state() == 18170239111238241250ULL);

TEST(Pcg32, SeededZeroMatchesReferenceOutputs) {
  Pcg32 generator = Pcg32::seeded(0);
  EXPECT_EQ(generator.state(), 18170239111238241250ULL);
  EXPECT_EQ(generator.inc(), Pcg32::kSeededIncrement);
  EXPECT_EQ(generator.steps(), 2U);
  EXPECT_EQ(generator.next(), 174444157U);
  EXPECT_EQ(generator.next(), 2543941438U);
  EXPECT_EQ(generator.next(), 3225358906U);
  EXPECT_EQ(generator.steps(), 5U);
}

// The closed form equals the textbook procedure: step from state 0, add the seed, step again.
TEST(Pcg32, SeededEqualsTheStandardSeedingProcedure) {
  for (std::uint64_t seed : {0ULL, 1ULL, 42ULL, 0xFFFFFFFFFFFFFFFFULL, 0x8000000000000000ULL}) {
    Pcg32 first(0, Pcg32::kSeededIncrement);
    first.next();
    Pcg32 second(first.state() + seed, Pcg32::kSeededIncrement);
    second.next();
    Pcg32 seeded = Pcg32::seeded(seed);
    EXPECT_EQ(seeded.state(), second.state()) << seed;
    EXPECT_EQ(seeded.inc(), second.inc()) << seed;
  }
}

TEST(Pcg32, DirectConstructionStartsAtZeroStepsAndTakesNoStep) {
  Pcg32 generator(18170239111238241250ULL, Pcg32::kSeededIncrement);
  EXPECT_EQ(generator.steps(), 0U);
  EXPECT_EQ(generator.state(), 18170239111238241250ULL);
  EXPECT_NE(generator, Pcg32::seeded(0));  // same words, different step count
  EXPECT_EQ(generator.next(), 174444157U);
  EXPECT_EQ(generator.steps(), 1U);
}

// Callers restore a saved copy when an action fails; the copy must not share state.
TEST(Pcg32, CopiesAdvanceIndependently) {
  Pcg32 generator = Pcg32::seeded(7);
  Pcg32 saved = generator;
  generator.roll_die(20);
  EXPECT_NE(generator, saved);
  generator = saved;
  EXPECT_EQ(generator, Pcg32::seeded(7));
}

TEST(Pcg32, HostPrimitivesMatchReferenceValues) {
  EXPECT_EQ(pcg32_next(0), 174444157U);
  EXPECT_EQ(pcg32_next(1), 4033076299U);
  EXPECT_EQ(pcg32_next(42), 1898997482U);

  struct Case {
    std::uint64_t seed;
    std::uint32_t sides;
    std::uint32_t face;
  };
  for (auto [seed, sides, face] : {Case{0, 6, 2}, Case{0, 20, 18}, Case{42, 20, 3}, Case{5, 0, 0}}) {
    EXPECT_EQ(roll_die(seed, sides), face) << seed << "d" << sides;
  }

  struct DiceCase {
    std::uint64_t seed;
    std::uint32_t count;
    std::uint32_t sides;
    std::uint64_t sum;
  };
  for (auto [seed, count, sides, sum] :
       {DiceCase{0, 3, 6, 12}, DiceCase{1, 3, 6, 9}, DiceCase{0, 0, 6, 0}, DiceCase{0, 3, 0, 0}}) {
    EXPECT_EQ(roll_dice(seed, count, sides), sum) << seed << ": " << count << "d" << sides;
  }
}

TEST(Pcg32, RollDiceSumsSuccessiveDraws) {
  Pcg32 generator = Pcg32::seeded(99);
  std::uint64_t sum = 0;
  for (int i = 0; i < 100; ++i) sum += generator.roll_die(20);
  EXPECT_EQ(roll_dice(99, 100, 20), sum);
  // The largest sum fits: no wrap-around in 64 bits.
  EXPECT_GT(roll_dice(3, 1000, 0xFFFFFFFFU), 0xFFFFFFFFULL);
}

TEST(Pcg32, RollDieStepCounts) {
  Pcg32 generator = Pcg32::seeded(0);
  EXPECT_EQ(generator.roll_die(0), 0U);
  EXPECT_EQ(generator.steps(), 2U);  // no sides, no step
  EXPECT_EQ(generator.roll_die(6), 2U);
  EXPECT_EQ(generator.steps(), 3U);

  // One side and any power of two have threshold 0: exactly one step per roll, never a rejection.
  for (std::uint32_t sides : {1U, 2U, 8U, 1024U, 0x80000000U}) {
    Pcg32 dice = Pcg32::seeded(sides);
    for (std::uint64_t roll = 1; roll <= 200; ++roll) {
      std::uint32_t face = dice.roll_die(sides);
      ASSERT_GE(face, 1U);
      ASSERT_LE(face, sides);
      ASSERT_EQ(dice.steps(), 2 + roll) << sides;
    }
  }
}

// Seed 0's first output, 174444157, lies below the rejection threshold of these die sizes, so the
// draw is discarded (but counted) and the face comes from the second output, 2543941438.
TEST(Pcg32, RollDieRejectsOutputsBelowTheThreshold) {
  struct Case {
    std::uint32_t sides;  // threshold (2^32 - sides) mod sides
    std::uint32_t face;
  };
  for (auto [sides, face] : {Case{3000000000U, 2543941439U}, Case{0x80000001U, 396457790U}}) {
    Pcg32 generator = Pcg32::seeded(0);
    EXPECT_EQ(generator.roll_die(sides), face) << sides;
    EXPECT_EQ(generator.steps(), 4U) << sides;
  }
  // The largest die rejects only the output 0: seed 0's first output is kept.
  Pcg32 generator = Pcg32::seeded(0);
  EXPECT_EQ(generator.roll_die(0xFFFFFFFFU), 174444158U);
  EXPECT_EQ(generator.steps(), 3U);
}

TEST(FloorDiv, RoundsTowardNegativeInfinity) {
  struct Case {
    std::int64_t a, b, quotient;
  };
  for (auto [a, b, quotient] : {
           Case{7, 2, 3},
           Case{-7, 2, -4},
           Case{7, -2, -4},
           Case{-7, -2, 3},
           Case{-6, 3, -2},
           Case{0, -5, 0},
           Case{5, -1, -5},
           Case{-1, kMax, -1},
           Case{kMin, 1, kMin},
           Case{kMin, 2, kMin / 2},
           Case{kMin, kMax, -2},
           Case{kMax, -1, -kMax},
           Case{kMax, kMin, -1},
       }) {
    auto result = floor_div(a, b);
    ASSERT_TRUE(result.has_value()) << a << " / " << b;
    EXPECT_EQ(*result, quotient) << a << " / " << b;
  }
}

TEST(FloorDiv, RefusesDivisionByZeroAndOverflow) {
  struct Case {
    std::int64_t a, b;
    const char* message;
  };
  for (auto [a, b, message] : {
           Case{1, 0, "floor_div by zero"},
           Case{0, 0, "floor_div by zero"},
           Case{kMin, 0, "floor_div by zero"},
           Case{kMin, -1, "floor_div overflow (i64::MIN / -1)"},
       }) {
    auto result = floor_div(a, b);
    ASSERT_FALSE(result.has_value()) << a << " / " << b;
    EXPECT_EQ(result.error(), std::string(message));
  }
}

}  // namespace
}  // namespace kest::math
