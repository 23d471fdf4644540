// The block scans of string content against the byte-by-byte definition of plain ASCII: every
// byte value, at every offset of a block and of the tail that is scanned byte by byte, with
// plain bytes before it and after it. Both kinds of block are tried where the target has both.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "../src/plain_ascii.hpp"

namespace kest::events {
namespace {

template <class Blocks>
class PlainAsciiScan : public testing::Test {};

#if defined(__SSE2__)
using BlockKinds = testing::Types<PlainAsciiWords, PlainAsciiVectors>;
#else
using BlockKinds = testing::Types<PlainAsciiWords>;
#endif
TYPED_TEST_SUITE(PlainAsciiScan, BlockKinds);

TYPED_TEST(PlainAsciiScan, StopsAtTheFirstByteAStringDoesNotHoldAsItIs) {
  constexpr std::size_t kLength = 3 * TypeParam::kBlock + 3;  // blocks, then a tail shorter than one
  for (int value = 0; value < 256; ++value) {
    char c = static_cast<char>(value);
    for (std::size_t at = 0; at < kLength; ++at) {
      // Plain bytes that sit next to the tried one in the alphabet, where a borrow or carry
      // between neighbouring bytes would show.
      std::string text(kLength, value == '!' ? '#' : '!');
      text[at] = c;
      const char* stop = skip_plain_ascii<TypeParam>(text.data(), text.data() + text.size());
      std::size_t expected = is_plain_ascii(c) ? kLength : at;
      ASSERT_EQ(static_cast<std::size_t>(stop - text.data()), expected) << "byte " << value << " at " << at;
    }
  }
}

// Each text lies in a buffer of its own size, so that reading past its end is a fault the
// sanitizer build reports; the run stops at the end even where plain bytes would follow.
TYPED_TEST(PlainAsciiScan, NeverRunsPastTheEnd) {
  for (std::size_t size = 0; size <= 2 * TypeParam::kBlock + 1; ++size) {
    auto text = std::make_unique<char[]>(size);
    std::fill_n(text.get(), size, 'a');
    EXPECT_EQ(skip_plain_ascii<TypeParam>(text.get(), text.get() + size), text.get() + size);
  }
}

}  // namespace
}  // namespace kest::events
