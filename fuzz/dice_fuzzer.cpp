// Dice equations: a refused equation is refused with one of the grammar's messages quoting it
// whole; an accepted one lies within its bounds, reads back from its plain form, and rolls a total
// between its smallest and largest result.
#include <string>

#include "dice.hpp"
#include "harness.hpp"
#include "kest/canonical.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kest;
  std::string_view text = fuzz::text_of(data, size);
  auto equation = ruleset::parse_dice(text);
  if (!equation) {
    const std::string& message = equation.error();
    fuzz::require(message.ends_with(text), "a message quotes the whole equation");
    fuzz::require(fuzz::starts_with_any(
                      message, {"AST: dice equation must be a decimal-free string: ", "AST: invalid dice equation: ",
                                "AST: dice out of bounds: ", "AST: dice modifier/result out of safe-integer range: "}),
                  "a refusal is one of the grammar's messages");
    fuzz::require(text.find('.') == std::string_view::npos || message.find("decimal-free") != std::string::npos,
                  "a decimal point is refused before anything else");
    return 0;
  }
  auto [count, sides, modifier] = *equation;
  fuzz::require(count >= 0 && count <= 100 && sides >= 0 && sides <= 100000, "count and sides lie within bounds");
  std::int64_t smallest = modifier + count;
  std::int64_t largest = modifier + count * sides;
  fuzz::require(events::is_js_safe(modifier) && events::is_js_safe(smallest) && events::is_js_safe(largest),
                "the modifier and both extreme results are JS-safe");

  std::string plain =
      std::to_string(count) + "d" + std::to_string(sides) + (modifier < 0 ? "" : "+") + std::to_string(modifier);
  auto reread = ruleset::parse_dice(plain);
  fuzz::require(reread.has_value() && *reread == *equation, "the plain form reads back as the same equation");

  math::Pcg32 dice = math::Pcg32::seeded(size);
  ruleset::EvalContext context{.actor = "a", .target = {}, .each = {}, .dice = dice, .first_die = {}};
  auto total = ruleset::roll_dice(*equation, context);
  fuzz::require(total.has_value(), "an accepted equation rolls");
  std::int64_t lowest = sides == 0 ? modifier : smallest;
  fuzz::require(*total >= lowest && *total <= largest, "a roll lies between the smallest and largest result");
  fuzz::require(context.first_die.has_value() == (count > 0), "the first die is remembered when there is one");
  return 0;
}
