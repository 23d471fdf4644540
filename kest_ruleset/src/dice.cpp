#include "dice.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

#include "kest/result.hpp"
#include "values.hpp"

namespace kest::ruleset {
namespace {

inline constexpr std::uint64_t kMaxCount = 100;
inline constexpr std::uint64_t kMaxSides = 100000;
inline constexpr Int128 kUnsafeMagnitude = Int128{1} << 53;

// A signed 64-bit decimal: one optional sign, then one or more digits (leading zeros allowed).
std::optional<std::int64_t> parse_i64(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc{}) return std::nullopt;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (magnitude > kMax + (negative ? 1 : 0)) return std::nullopt;
  return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

Int128 magnitude(Int128 n) { return n < 0 ? -n : n; }

}  // namespace

Result<DiceEquation> parse_dice(std::string_view s) {
  auto refuse = [s](std::string_view why) { return fail("AST: " + std::string(why) + std::string(s)); };
  if (s.find('.') != std::string_view::npos) return refuse("dice equation must be a decimal-free string: ");
  std::size_t d = s.find('d');
  if (d == std::string_view::npos || d == 0) return refuse("invalid dice equation: ");
  std::string_view rest = s.substr(d + 1);
  std::size_t sign = rest.find_first_of("+-");
  std::string_view sides_text = rest.substr(0, sign);
  std::string_view modifier_text = sign == std::string_view::npos ? std::string_view("0") : rest.substr(sign);
  std::optional<std::int64_t> count = parse_i64(s.substr(0, d));
  std::optional<std::int64_t> sides = parse_i64(sides_text);
  std::optional<std::int64_t> modifier = parse_i64(modifier_text);
  if (!count || !sides || !modifier) return refuse("invalid dice equation: ");
  // Negative counts and sides become huge as unsigned numbers, so they are out of bounds too.
  if (static_cast<std::uint64_t>(*count) > kMaxCount || static_cast<std::uint64_t>(*sides) > kMaxSides) {
    return refuse("dice out of bounds: ");
  }
  Int128 smallest = Int128{*modifier} + *count;
  Int128 largest = Int128{*modifier} + Int128{*count} * *sides;
  if (magnitude(*modifier) >= kUnsafeMagnitude || magnitude(smallest) >= kUnsafeMagnitude ||
      magnitude(largest) >= kUnsafeMagnitude) {
    return refuse("dice modifier/result out of safe-integer range: ");
  }
  return DiceEquation{*count, *sides, *modifier};
}

Result<void> charge_dice(ValidationBudget& budget, std::int64_t count, std::int64_t multiplicity) {
  budget.dice += count * multiplicity;
  if (budget.dice > kMaxDice) return fail("AST: total dice count exceeds budget " + std::to_string(kMaxDice));
  return {};
}

Result<std::int64_t> roll_dice(const DiceEquation& equation, EvalContext& context) {
  Int128 sum = 0;
  for (std::int64_t i = 0; i < equation.count; ++i) {
    std::uint32_t face = context.dice.roll_die(static_cast<std::uint32_t>(equation.sides));
    if (!context.first_die) context.first_die = face;
    sum += face;
  }
  return assert_int128(sum + equation.modifier, "dice result");
}

}  // namespace kest::ruleset
