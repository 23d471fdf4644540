// Readers of the members of input documents.
#include "kest/readers.hpp"

#include <limits>
#include <string>

namespace kest::json {

std::optional<std::int64_t> integer_value(const Value& value) noexcept {
  if (value.is_int()) return value.as_int();
  if (value.is_uint() && value.as_uint() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(value.as_uint());
  }
  return std::nullopt;
}

std::optional<std::uint64_t> safe_count_value(const Value& value) noexcept {
  if (value.is_uint() && value.as_uint() <= static_cast<std::uint64_t>(kMaxSafeInteger)) return value.as_uint();
  return std::nullopt;
}

Result<std::optional<std::uint64_t>> read_optional_count(const Value& document, std::string_view key) {
  const Value& member = document[key];
  if (member.is_null()) return std::nullopt;
  if (auto count = safe_count_value(member)) return count;
  return fail(std::string(key) + " must be a non-negative JS-safe integer");
}

}  // namespace kest::json
