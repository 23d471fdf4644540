// The value rules of the rules engine: every integer it accepts or computes is JS-safe, and every
// property or tag name a rule writes is clean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kest/json.hpp"
#include "kest/ruleset.hpp"

namespace kest::ruleset {

// Sums, differences and products of two JS-safe integers are formed in 128 bits, so they never
// wrap before they are range-checked.
__extension__ typedef __int128 Int128;

// Reads a JSON number as a JS-safe integer; an integral float such as 7.0 reads as 7.
Result<std::int64_t> value_int(const json::Value& value, std::string_view label);
Result<std::int64_t> assert_int(std::int64_t n, std::string_view label);
Result<std::int64_t> assert_int128(Int128 n, std::string_view label);

inline constexpr std::size_t kMaxNameLength = 256;  // in UTF-16 code units

// A property or tag name: non-empty, not "__proto__", at most 256 UTF-16 units, and NFC.
Result<void> assert_clean_name(std::string_view name, std::string_view label);

}  // namespace kest::ruleset
