#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "kest/utf8.hpp"

namespace kest::json {
namespace {

// Independent reference: the UTF-16 code units of well-formed UTF-8 text.
std::u16string to_utf16(std::string_view s) {
  std::u16string units;
  for (std::size_t i = 0; i < s.size();) {
    auto lead = static_cast<unsigned char>(s[i]);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t cp = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    if (cp < 0x10000) {
      units.push_back(static_cast<char16_t>(cp));
    } else {
      units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    i += length;
  }
  return units;
}

int sign(int n) { return (n > 0) - (n < 0); }

// Strings around the places where UTF-16 order and byte order part: BMP characters below
// and above the surrogate range, and characters beyond the BMP.
const std::vector<std::string> kSamples = {"",
                                           "a",
                                           "ab",
                                           "b",
                                           "\x7f",
                                           "é",
                                           "ê",
                                           "xé",
                                           "xê",
                                           "\u07ff",
                                           "\u0800",
                                           "\ud7ff",
                                           "\ue000",
                                           "\uffff",
                                           "\U00010000",
                                           "\U00010001",
                                           "\U0001f600",
                                           "\U0001f601",
                                           "\U0010ffff",
                                           "\U00010000a",
                                           "a\U0010ffff",
                                           "a\uffff",
                                           "\ue000\U00010000"};

TEST(CompareUtf16, AgreesWithComparingUtf16CodeUnits) {
  for (const std::string& a : kSamples) {
    for (const std::string& b : kSamples) {
      EXPECT_EQ(compare_utf16(a, b), sign(to_utf16(a).compare(to_utf16(b)))) << a << " vs " << b;
      EXPECT_EQ(utf16_less(a, b), to_utf16(a) < to_utf16(b)) << a << " vs " << b;
    }
  }
}

TEST(CompareUtf16, SortsBeyondTheBmpBelowTheTopOfTheBmp) {
  EXPECT_LT(compare_utf16("\U00010000", "\ue000"), 0);  // byte order says the opposite
  EXPECT_LT(compare_utf16("\U0010ffff", "\uffff"), 0);
  EXPECT_GT(compare_utf16("\U00010000", "\ud7ff"), 0);
  EXPECT_LT(compare_utf16("a", "ab"), 0);
}

TEST(Utf16Length, CountsSurrogatePairsAsTwo) {
  EXPECT_EQ(utf16_length(""), 0U);
  EXPECT_EQ(utf16_length("abc"), 3U);
  EXPECT_EQ(utf16_length("é€"), 2U);
  EXPECT_EQ(utf16_length("\U0001f600"), 2U);
  for (const std::string& s : kSamples) EXPECT_EQ(utf16_length(s), to_utf16(s).size()) << s;
}

TEST(IsAscii, IsFalseForAnyByteAbove0x7F) {
  EXPECT_TRUE(is_ascii(""));
  EXPECT_TRUE(is_ascii(std::string("a\0\x7f", 3)));
  EXPECT_FALSE(is_ascii("aé"));
}

}  // namespace
}  // namespace kest::json
