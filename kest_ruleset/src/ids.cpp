#include <algorithm>

#include "kest/ids.hpp"

namespace kest::ruleset {
namespace {

int compare_bytes(std::string_view a, std::string_view b) noexcept {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compare_magnitudes(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return compare_bytes(a, b);
}

}  // namespace

bool is_numeric_id(std::string_view id) noexcept {
  if (!id.empty() && id.front() == '-') id.remove_prefix(1);
  return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

NumericId normalize_numeric(std::string_view id) noexcept {
  bool negative = !id.empty() && id.front() == '-';
  if (negative) id.remove_prefix(1);
  // Keep the last digit of an all-zero magnitude; an empty one (not a numeric id) stays empty.
  std::size_t first = std::min(id.find_first_not_of('0'), id.empty() ? 0 : id.size() - 1);
  std::string_view magnitude = id.substr(first);
  return NumericId{negative && magnitude != "0", magnitude};
}

int compare_ids(std::string_view a, std::string_view b) noexcept {
  bool a_numeric = is_numeric_id(a);
  bool b_numeric = is_numeric_id(b);
  if (a_numeric != b_numeric) return a_numeric ? -1 : 1;
  if (a_numeric) {
    NumericId x = normalize_numeric(a);
    NumericId y = normalize_numeric(b);
    if (x.negative != y.negative) return x.negative ? -1 : 1;
    int by_value = compare_magnitudes(x.magnitude, y.magnitude);
    if (by_value != 0) return x.negative ? -by_value : by_value;
  }
  return compare_bytes(a, b);
}

}  // namespace kest::ruleset
