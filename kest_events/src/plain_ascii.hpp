// How far a JSON string's content runs on as plain ASCII (what a string holds as it is: no
// quotation mark, backslash, control character or byte from 0x80 up), a block of bytes at a time.
// Strings are scanned with the widest block the target has as a baseline: 16 bytes with SSE2 on
// x86-64, eight bytes in a general-purpose register elsewhere.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kest::events {

inline bool is_plain_ascii(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\';
}

// Eight bytes from `p` as one number whose lowest byte is p[0], whatever the machine's byte order.
inline std::uint64_t load_little_endian(const char* p) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

// How many of the eight bytes from `p` are plain ASCII before the first that is not, all eight at
// once: a byte is flagged when it is a quotation mark, a backslash, below 0x20 or from 0x80 up.
// A borrow can flag a byte wrongly only above a byte rightly flagged, so the lowest flag is true.
struct PlainAsciiWords {
  static constexpr std::size_t kBlock = 8;

  static std::size_t prefix(const char* p) {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighBits = kOnes * 0x80;
    std::uint64_t word = load_little_endian(p);
    auto below = [&](std::uint64_t bytes, unsigned char bound) { return (bytes - kOnes * bound) & ~bytes & kHighBits; };
    std::uint64_t flagged =
        below(word ^ (kOnes * '"'), 1) | below(word ^ (kOnes * '\\'), 1) | below(word, 0x20) | (word & kHighBits);
    return static_cast<std::size_t>(std::countr_zero(flagged)) / 8;
  }
};

#if defined(__SSE2__)
// The same for 16 bytes. Compared as signed bytes, those from 0x80 up are negative, so one
// "less than 0x20" finds them and the control characters together.
struct PlainAsciiVectors {
  static constexpr std::size_t kBlock = 16;

  static std::size_t prefix(const char* p) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i flagged = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
        _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)));
    // A seventeenth bit, always set, makes a block without a flag count as all 16 bytes.
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(flagged)) | 0x10000u;
    return static_cast<std::size_t>(std::countr_zero(mask));
  }
};
using PlainAsciiBlocks = PlainAsciiVectors;
#else
using PlainAsciiBlocks = PlainAsciiWords;
#endif

// The first byte from `p` on that is not plain ASCII, or `end`. Inlined into every string read,
// where most strings end in the first block.
template <class Blocks = PlainAsciiBlocks>
[[gnu::always_inline]] inline const char* skip_plain_ascii(const char* p, const char* end) {
  while (static_cast<std::size_t>(end - p) >= Blocks::kBlock) {
    std::size_t plain = Blocks::prefix(p);
    p += plain;
    if (plain < Blocks::kBlock) return p;
  }
  while (p != end && is_plain_ascii(*p)) ++p;
  return p;
}

}  // namespace kest::events
