// UTF-16 measures of UTF-8 text, without converting whole strings.
#include <algorithm>

#include "kest/utf8.hpp"

namespace kest::json {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes the code point starting at s[i] (well-formed UTF-8 assumed).
char32_t decode_at(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) return lead;
  if (lead < 0xE0) return static_cast<char32_t>(((lead & 0x1F) << 6) | (byte(1) & 0x3F));
  if (lead < 0xF0) return static_cast<char32_t>(((lead & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F));
  return static_cast<char32_t>(((lead & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) |
                               (byte(3) & 0x3F));
}

// The first UTF-16 code unit of a code point: the code point itself, or its high surrogate.
char32_t first_code_unit(char32_t cp) { return cp < 0x10000 ? cp : 0xD800 + ((cp - 0x10000) >> 10); }

}  // namespace

std::size_t utf16_length(std::string_view s) noexcept {
  std::size_t units = 0;
  for (unsigned char byte : s) {
    if (!is_continuation(byte)) ++units;
    if (byte >= 0xF0) ++units;
  }
  return units;
}

int compare_utf16(std::string_view a, std::string_view b) noexcept {
  auto [ma, mb] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  std::size_t i = static_cast<std::size_t>(ma - a.begin());
  if (ma == a.end() && mb == b.end()) return 0;
  if (ma == a.end()) return -1;
  if (mb == b.end()) return 1;
  // Both differ inside one code point that starts at the same offset in both strings.
  while (i > 0 && is_continuation(static_cast<unsigned char>(a[i]))) --i;
  char32_t ca = decode_at(a, i);
  char32_t cb = decode_at(b, i);
  char32_t ua = first_code_unit(ca);
  char32_t ub = first_code_unit(cb);
  if (ua != ub) return ua < ub ? -1 : 1;
  // Same high surrogate: the low surrogates, like the code points, decide.
  return ca < cb ? -1 : 1;
}

bool is_ascii(std::string_view s) noexcept {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace kest::json
