// Id order: the order of actors, commands and initiative entries.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read.
#pragma once

#include <string_view>

namespace kest::ruleset {

// A numeric id is an optional single leading "-" and one or more ASCII digits.
bool is_numeric_id(std::string_view id) noexcept;

struct NumericId {
  bool negative;
  std::string_view magnitude;  // digits without leading zeros, at least one digit
};

// Splits a numeric id into its sign and magnitude; "-0" and "-000" are not negative.
NumericId normalize_numeric(std::string_view id) noexcept;

// Numeric ids first, by value of any length; numerically equal ids and all other ids by
// bytes, a proper prefix first. Two different ids never compare equal. Returns <0, 0 or >0.
int compare_ids(std::string_view a, std::string_view b) noexcept;

inline bool id_less(std::string_view a, std::string_view b) noexcept { return compare_ids(a, b) < 0; }

}  // namespace kest::ruleset
