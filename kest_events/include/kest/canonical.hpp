// The canonical JSON text of a value (what is signed or hashed), its value rules, the NFC test
// and the length-prefixed framing every HMAC message is built from.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "kest/json.hpp"

namespace kest::events {

// Why a value has no canonical form.
enum class CanonError : std::uint8_t {
  NonIntegerNumber,
  UnsafeInteger,
  NegativeZero,
  ForbiddenKey,
  DepthExceeded,
  NonNfc,
};

// The kind's name exactly as messages show it ("NonIntegerNumber", ...).
std::string_view canon_error_name(CanonError error) noexcept;

// The largest magnitude of a JS-safe integer: 2^53 - 1.
inline constexpr std::int64_t kMaxSafeInteger = 9007199254740991;

inline constexpr bool is_js_safe(std::int64_t n) noexcept { return n >= -kMaxSafeInteger && n <= kMaxSafeInteger; }

// Succeeds when `s` (well-formed UTF-8) equals its Unicode Normalization Form C.
std::expected<void, CanonError> assert_nfc(std::string_view s);

// The decimal UTF-16 length of `s`, ":", then `s`: "3:abc".
std::string field(std::string_view s);
void append_field(std::string& out, std::string_view s);

}  // namespace kest::events
