#include <limits>

#include "kest/math.hpp"

namespace kest::math {

std::uint32_t pcg32_next(std::uint64_t seed) noexcept { return Pcg32::seeded(seed).next(); }

std::uint32_t roll_die(std::uint64_t seed, std::uint32_t sides) noexcept { return Pcg32::seeded(seed).roll_die(sides); }

std::uint64_t roll_dice(std::uint64_t seed, std::uint32_t count, std::uint32_t sides) noexcept {
  if (count == 0 || sides == 0) return 0;
  Pcg32 generator = Pcg32::seeded(seed);
  std::uint64_t sum = 0;
  for (std::uint32_t i = 0; i < count; ++i) sum += generator.roll_die(sides);
  return sum;
}

std::expected<std::int64_t, std::string> floor_div(std::int64_t a, std::int64_t b) {
  if (b == 0) return std::unexpected(std::string("floor_div by zero"));
  if (a == std::numeric_limits<std::int64_t>::min() && b == -1) {
    return std::unexpected(std::string("floor_div overflow (i64::MIN / -1)"));
  }
  std::int64_t q = a / b;
  if ((a < 0) != (b < 0) && q * b != a) --q;
  return q;
}

}  // namespace kest::math
