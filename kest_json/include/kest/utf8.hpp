// String measures and orders that follow ECMAScript's UTF-16 strings, computed on UTF-8 text.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read.
#pragma once

#include <cstddef>
#include <string_view>

namespace kest::json {

// Number of UTF-16 code units of well-formed UTF-8 text (a code point above U+FFFF counts 2).
std::size_t utf16_length(std::string_view s) noexcept;

// Three-way comparison of two well-formed UTF-8 strings by their UTF-16 code units, a proper
// prefix first: ECMAScript's default string order. It equals byte order except where a code
// point above U+FFFF meets one in U+E000..U+FFFF, which the surrogate pair sorts below.
int compare_utf16(std::string_view a, std::string_view b) noexcept;

inline bool utf16_less(std::string_view a, std::string_view b) noexcept { return compare_utf16(a, b) < 0; }

// True when every byte is below 0x80.
bool is_ascii(std::string_view s) noexcept;

}  // namespace kest::json
