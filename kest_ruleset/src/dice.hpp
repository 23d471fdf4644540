// Dice equations such as "2d6+3": their grammar and bounds, the dice budget, and their roll.
#pragma once

#include <cstdint>
#include <string_view>

#include "context.hpp"
#include "kest/ruleset.hpp"

namespace kest::ruleset {

struct DiceEquation {
  std::int64_t count = 0;     // 0 ... 100
  std::int64_t sides = 0;     // 0 ... 100000
  std::int64_t modifier = 0;  // JS-safe, as are the smallest and largest totals

  friend bool operator==(const DiceEquation&, const DiceEquation&) = default;
};

Result<DiceEquation> parse_dice(std::string_view equation);

// Charges `count` dice that may run `multiplicity` times.
Result<void> charge_dice(ValidationBudget& budget, std::int64_t count, std::int64_t multiplicity);

// Rolls the dice left to right through the context's dice; the context keeps the first face it
// sees.
Result<std::int64_t> roll_dice(const DiceEquation& equation, EvalContext& context);

}  // namespace kest::ruleset
