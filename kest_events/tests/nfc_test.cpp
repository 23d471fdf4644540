// The NFC test against its definition: a string passes exactly when normalising it to NFC leaves
// it unchanged, here computed the long way through ICU's UTF-16 normaliser.
#include <gtest/gtest.h>

#include <string>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "kest/canonical.hpp"

namespace kest::events {
namespace {

bool equals_its_nfc(const std::string& s) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(s);
  icu::UnicodeString normalized = nfc->normalize(text, status);
  EXPECT_TRUE(U_SUCCESS(status));
  return normalized == text;
}

std::string utf8(char32_t c) {
  std::string out;
  icu::UnicodeString(static_cast<UChar32>(c)).toUTF8String(out);
  return out;
}

// Each scalar value alone, after a base letter, and before a combining mark that composes with
// some letters, sits after others in canonical order, or is blocked by them.
class NfcTest : public testing::TestWithParam<std::string> {};

TEST_P(NfcTest, AnswersAsNormalisingAndComparingDoes) {
  const std::string& affix = GetParam();
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string s = affix == "before" ? "e" + utf8(c) : utf8(c) + affix;
    ASSERT_EQ(assert_nfc(s).has_value(), equals_its_nfc(s)) << "U+" << std::hex << static_cast<std::uint32_t>(c);
  }
}

// The NFC test lets text below U+0300 pass without asking ICU. That holds if each such code point
// is NFC on its own and starts afresh (never combines with or reorders against what precedes it):
// then the text normalises character by character into itself.
TEST(Nfc, CodePointsBelowCombiningMarksAreInert) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  ASSERT_TRUE(U_SUCCESS(status));
  for (UChar32 c = 0; c < 0x300; ++c) {
    EXPECT_TRUE(nfc->hasBoundaryBefore(c)) << c;
    EXPECT_EQ(nfc->quickCheck(icu::UnicodeString(c), status), UNORM_YES) << c;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryCodePoint, NfcTest,
                         testing::Values("", "before", "\xCC\x81" /* U+0301 */, "\xE0\xA4\xBC" /* U+093C */,
                                         "\xE1\x85\xA1" /* U+1161, a Hangul vowel */));

}  // namespace
}  // namespace kest::events
