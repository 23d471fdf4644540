#include <gtest/gtest.h>

#include "dice.hpp"
#include "rules_test_support.hpp"

namespace kest::ruleset {
namespace {

struct DiceCase {
  const char* equation;
  Result<DiceEquation> expected;
};

std::unexpected<std::string> invalid(std::string_view equation) {
  return std::unexpected("AST: invalid dice equation: " + std::string(equation));
}

TEST(ParseDice, GrammarBoundsAndRange) {
  const DiceCase cases[] = {
      {"2d6", DiceEquation{2, 6, 0}},
      {"2d6+3", DiceEquation{2, 6, 3}},
      {"2d6-3", DiceEquation{2, 6, -3}},
      {"+2d6", DiceEquation{2, 6, 0}},
      {"02d06", DiceEquation{2, 6, 0}},
      {"0d6", DiceEquation{0, 6, 0}},
      {"3d0", DiceEquation{3, 0, 0}},
      {"100d100000", DiceEquation{100, 100000, 0}},
      {"1d6+9007199254740985", DiceEquation{1, 6, 9007199254740985}},
      {"1d6-9007199254740991", DiceEquation{1, 6, -9007199254740991}},
      {"2.5d6", std::unexpected("AST: dice equation must be a decimal-free string: 2.5d6")},
      {"2d6.0", std::unexpected("AST: dice equation must be a decimal-free string: 2d6.0")},
      {"x.", std::unexpected("AST: dice equation must be a decimal-free string: x.")},
      {"d6", invalid("d6")},
      {"2d", invalid("2d")},
      {"2D6", invalid("2D6")},
      {"2d+6", invalid("2d+6")},
      {"2d6+", invalid("2d6+")},
      {"2d6+-1", invalid("2d6+-1")},
      {"2d6+3+1", invalid("2d6+3+1")},
      {"2dd6", invalid("2dd6")},
      {" 2d6", invalid(" 2d6")},
      {"2d6 ", invalid("2d6 ")},
      {"--2d6", invalid("--2d6")},
      {"", invalid("")},
      {"1d6+99999999999999999999", invalid("1d6+99999999999999999999")},
      {"101d6", std::unexpected("AST: dice out of bounds: 101d6")},
      {"-1d6", std::unexpected("AST: dice out of bounds: -1d6")},
      {"1d100001", std::unexpected("AST: dice out of bounds: 1d100001")},
      {"1d6+9007199254740986",
       std::unexpected("AST: dice modifier/result out of safe-integer range: 1d6+9007199254740986")},
      {"0d6+9007199254740992",
       std::unexpected("AST: dice modifier/result out of safe-integer range: 0d6+9007199254740992")},
      {"1d6-9007199254740993",
       std::unexpected("AST: dice modifier/result out of safe-integer range: 1d6-9007199254740993")},
  };
  for (const DiceCase& c : cases) EXPECT_EQ(parse_dice(c.equation), c.expected) << c.equation;
}

TEST(ChargeDice, WeighsByMultiplicityUpToTheBudget) {
  ValidationBudget budget;
  EXPECT_TRUE(charge_dice(budget, 100, 10).has_value());
  EXPECT_EQ(budget.dice, 1000);
  EXPECT_EQ(error_of(charge_dice(budget, 1, 1)), "AST: total dice count exceeds budget 1000");
}

struct RollCase {
  const char* equation;
  std::uint64_t steps;  // generator steps the roll takes from seed 0
};

TEST(RollDice, OneStepPerDieOfOneOrMoreSides) {
  // A d2 or d1 never rejects a draw, and a die of 0 sides draws nothing.
  const RollCase cases[] = {{"3d0+4", 0}, {"0d6", 0}, {"5d2", 5}, {"4d1", 4}};
  for (const RollCase& c : cases) {
    math::Pcg32 rng = math::Pcg32::seeded(0);
    EvalContext context{"a", std::nullopt, std::nullopt, rng, std::nullopt};
    ASSERT_TRUE(roll_dice(*parse_dice(c.equation), context).has_value()) << c.equation;
    EXPECT_EQ(rng.steps() - 2, c.steps) << c.equation;
  }
}

TEST(RollDice, FirstDieIsKeptAcrossRolls) {
  math::Pcg32 rng = math::Pcg32::seeded(0);
  EvalContext context{"a", std::nullopt, std::nullopt, rng, std::nullopt};
  EXPECT_EQ(roll_dice({1, 0, 10}, context), 10);
  EXPECT_EQ(context.first_die, 0);  // the face of a 0-sided die
  ASSERT_TRUE(roll_dice({1, 20, 0}, context).has_value());
  EXPECT_EQ(context.first_die, 0);
}

TEST(RollDice, SumsTheFacesWithTheModifier) {
  math::Pcg32 rng = math::Pcg32::seeded(0);
  EvalContext context{"a", std::nullopt, std::nullopt, rng, std::nullopt};
  EXPECT_EQ(roll_dice({1, 20, 5}, context), 23);  // the first d20 from seed 0 is 18
  EXPECT_EQ(context.first_die, 18);
}

}  // namespace
}  // namespace kest::ruleset
