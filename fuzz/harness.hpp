// What every harness shares: reading the fuzzer's bytes as text and stopping loudly when an
// invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

namespace kest::fuzz {

// libFuzzer's return value for an input that must not enter the corpus.
inline constexpr int kRejectInput = -1;

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Reports a broken invariant and aborts, which libFuzzer records as a crash with its input.
[[noreturn]] inline void violated(std::string_view invariant) {
  std::fprintf(stderr, "invariant violated: %.*s\n", static_cast<int>(invariant.size()), invariant.data());
  std::abort();
}

inline void require(bool holds, std::string_view invariant) {
  if (!holds) violated(invariant);
}

inline bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> prefixes) {
  for (std::string_view prefix : prefixes) {
    if (text.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace kest::fuzz
