#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kest/digest_generator.hpp"

namespace kest::events {
namespace {

struct WordBytes {
  std::uint64_t word;
  std::string bytes;
};

class LittleEndian : public ::testing::TestWithParam<WordBytes> {};

TEST_P(LittleEndian, AppendsTheLeastSignificantByteFirst) {
  std::string out = "x";
  append_little_endian(out, GetParam().word);
  EXPECT_EQ(out, "x" + GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Words, LittleEndian,
                         ::testing::Values(WordBytes{0, std::string(8, '\0')},
                                           WordBytes{1, std::string("\x01\0\0\0\0\0\0\0", 8)},
                                           WordBytes{0x0102030405060708ULL, "\x08\x07\x06\x05\x04\x03\x02\x01"},
                                           WordBytes{~0ULL - 2, "\xFD\xFF\xFF\xFF\xFF\xFF\xFF\xFF"}));

TEST(GeneratorFromSha256, TakesStateAndAnOddIncrementFromTheDigestWithoutAStep) {
  // SHA-256("") = e3b0c442 98fc1c14 9afbf4c8 996fb924 ...
  const math::Pcg32 generator = generator_from_sha256("");
  EXPECT_EQ(generator.state(), 0x141cfc9842c4b0e3ULL);
  EXPECT_EQ(generator.inc(), 0x24b96f99c8f4fb9bULL);
  EXPECT_EQ(generator.steps(), 0U);
}

}  // namespace
}  // namespace kest::events
