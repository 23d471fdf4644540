// What the two canonical writers (from values and from text) share about object keys.
#pragma once

#include <algorithm>
#include <string_view>

namespace kest::events {

// A key an ECMAScript object literal would take for its prototype, not a member.
inline constexpr std::string_view kForbiddenKeyText = "__proto__";

// Byte order and UTF-16 order of two keys can disagree only where one holds a character in
// U+E000..U+FFFF (lead byte 0xEE or 0xEF) and the other one above U+FFFF (lead byte 0xF0..0xF4).
inline bool may_sort_apart_from_byte_order(std::string_view key) {
  return std::ranges::any_of(key, [](char c) { return static_cast<unsigned char>(c) >= 0xEE; });
}

}  // namespace kest::events
