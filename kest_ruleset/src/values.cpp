#include "values.hpp"

#include <cmath>
#include <limits>

#include "kest/canonical.hpp"
#include "kest/result.hpp"
#include "kest/utf8.hpp"

namespace kest::ruleset {
namespace {

std::string not_js_safe(std::string_view label, std::string_view shown) {
  return "AST: " + std::string(label) + " must be a JS-safe integer: " + std::string(shown);
}

constexpr auto kMaxSafe = static_cast<double>(events::kMaxSafeInteger);

// The standard library's decimal conversions stop at 64 bits.
std::string decimal(Int128 n) {
  __extension__ typedef unsigned __int128 Uint128;
  Uint128 magnitude = n < 0 ? Uint128{0} - static_cast<Uint128>(n) : static_cast<Uint128>(n);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  if (n < 0) digits.insert(digits.begin(), '-');
  return digits;
}

}  // namespace

Result<std::int64_t> value_int(const json::Value& value, std::string_view label) {
  if (value.is_int()) return assert_int(value.as_int(), label);
  if (value.is_uint() && value.as_uint() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return assert_int(static_cast<std::int64_t>(value.as_uint()), label);
  }
  // An integer beyond 64 bits signed counts as a float, and no such float is JS-safe.
  if (value.is_double()) {
    double f = value.as_double();
    if (std::fabs(f) <= kMaxSafe && std::trunc(f) == f) return static_cast<std::int64_t>(f);
  }
  return fail(not_js_safe(label, json::write(value)));
}

Result<std::int64_t> assert_int(std::int64_t n, std::string_view label) {
  if (!events::is_js_safe(n)) return fail(not_js_safe(label, std::to_string(n)));
  return n;
}

Result<std::int64_t> assert_int128(Int128 n, std::string_view label) {
  if (n < -events::kMaxSafeInteger || n > events::kMaxSafeInteger) return fail(not_js_safe(label, decimal(n)));
  return static_cast<std::int64_t>(n);
}

Result<void> assert_clean_name(std::string_view name, std::string_view label) {
  auto refuse = [label](std::string_view why) {
    return fail("AST: " + std::string(label) + " name " + std::string(why));
  };
  if (name.empty()) return refuse("must be a non-empty string");
  if (name == "__proto__") return refuse("\"__proto__\" is forbidden");
  if (json::utf16_length(name) > kMaxNameLength) return refuse("exceeds max length " + std::to_string(kMaxNameLength));
  if (!events::assert_nfc(name)) return refuse("is not NFC (normalize first)");
  return {};
}

}  // namespace kest::ruleset
