// Readers of the members of input documents, shared by every library that takes a document in.
// Number kinds count as the parser produced them: an integral float such as 7.0 is no integer.
// A reader's message names the member that failed and carries no subsystem prefix: each caller
// puts its own in front (see `kest::with_prefix`).
//
// Threads: every function may be called from any number of threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "kest/json.hpp"
#include "kest/result.hpp"

namespace kest::json {

// The largest integer a double holds exactly, 2^53 - 1: the range every peer reads alike.
inline constexpr std::int64_t kMaxSafeInteger = 9007199254740991;

inline constexpr bool is_js_safe(std::int64_t n) noexcept { return n >= -kMaxSafeInteger && n <= kMaxSafeInteger; }

// The value as a signed 64-bit integer when it is a non-negative integer below 2^63 or a
// negative integer; nothing for every other value.
std::optional<std::int64_t> integer_value(const Value& value) noexcept;

// The value when it is a non-negative integer of at most kMaxSafeInteger; nothing otherwise.
std::optional<std::uint64_t> safe_count_value(const Value& value) noexcept;

// The member `key` as an optional count: absent or null is none, otherwise it must pass
// `safe_count_value` ("{key} must be a non-negative JS-safe integer").
Result<std::optional<std::uint64_t>> read_optional_count(const Value& document, std::string_view key);

// Moves the member `key` out of a document the caller owns (null when absent), so that the
// world state it holds is handed on without a copy.
inline Value take_member(Value& document, std::string_view key) {
  Value* member = document.find(key);
  return member != nullptr ? std::move(*member) : Value();
}

}  // namespace kest::json
