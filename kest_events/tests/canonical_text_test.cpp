// The one-pass canonical text against the general path (parse, then canonical_json): whatever
// text it answers for, it gives the same canonical text and UTF-16 length, and it answers for no
// text that fails to parse or has no canonical form.
#include <gtest/gtest.h>

#include "kest/canonical.hpp"
#include "kest/test_data.hpp"
#include "kest/utf8.hpp"

namespace kest::events {
namespace {

// The general path's canonical text, or nothing when the text does not parse or has no form.
std::optional<std::string> general_path(std::string_view text) {
  auto parsed = json::parse(text);
  if (!parsed) return std::nullopt;
  auto canonical = canonical_json(*parsed);
  return canonical ? std::optional(*canonical) : std::nullopt;
}

void expect_agrees_with_general_path(std::string_view text, bool must_answer) {
  auto fast = canonical_json_of_text(text);
  auto general = general_path(text);
  if (must_answer) {
    EXPECT_TRUE(fast.has_value()) << text;
  }
  if (!fast) return;
  ASSERT_TRUE(general.has_value()) << "answered for a text without a canonical form: " << text;
  EXPECT_EQ(fast->text, *general) << text;
  EXPECT_EQ(fast->utf16_length, json::utf16_length(*general)) << text;
}

class OnePassTakes : public testing::TestWithParam<std::string> {};

TEST_P(OnePassTakes, WhatTheGeneralPathWrites) { expect_agrees_with_general_path(GetParam(), true); }

INSTANTIATE_TEST_SUITE_P(
    Texts, OnePassTakes,
    testing::Values(R"({"b":1,"a":[true,null,{}]})", " { \"b\" : [ ] ,\n\t\"a\" : { } } \r\n", "[]", "{}", "0",
                    "-9007199254740991", "[9007199254740991,-1,10]", "[\"\u00e9 is already NFC\", \"/\"]",
                    "{\"\xEE\x80\x80\":1,\"\xF0\x90\x80\x80\":2,\"z\":3,\"\xEF\xBF\xBF\":4}",
                    R"({"e10":{"hp":1,"ac":2},"e9":{"xp":3,"ac":4},"e1":[{"b":0,"a":1}]})",
                    R"({"abcdefgh2":1,"abcdefgh10":2,"abcdefgh":3,"abcdefg":4})", "\"\U0001F600\"",
                    std::string(127, '[') + std::string(127, ']'),
                    // Escapes are decoded and the characters written as JSON.stringify writes them.
                    R"(["a\nb\u0000\b\f\r\t\/\"\\\u001F\u007f\u2028", "\u00e9", "\ud83d\ude00", "\uE000"])",
                    R"({"\u0062":1,"a\u0000":2,"a":3,"\ud800\udc00":4,"\uffff":5})"));

class OnePassLeavesToTheGeneralPath : public testing::TestWithParam<std::string> {};

TEST_P(OnePassLeavesToTheGeneralPath, TextsItIsNotSureOf) { EXPECT_FALSE(canonical_json_of_text(GetParam())); }

INSTANTIATE_TEST_SUITE_P(Texts, OnePassLeavesToTheGeneralPath,
                         testing::Values(
                             // Canonical, but written in ways this pass does not rewrite.
                             "1.0", "1e2", R"({"a":1,"a":2})", R"({"a":1,"\u0061":2})",
                             // Parse but have no canonical form.
                             "-0", "9007199254740992", "-9007199254740992", "0.5", R"({"__proto__":1})",
                             R"({"\u005f_proto__":1})", "\"e\xCC\x81\"", "{\"e\xCC\x81\":1}", R"("e\u0301")",
                             // Do not parse.
                             "", " ", "01", "-", "[1,]", "[,1]", R"({"a" 1})", R"({"a":1,})", "{1:2}", "[1 2]", "tru",
                             "nul", "[", "]", "{}{}", std::string("1\0", 2), std::string("\"a\0\"", 4), "\"\t\"",
                             "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"\xE0\x9F\xBF\"",
                             "\"\xF0\x8F\xBF\xBF\"", "\"\x80\"", "\"abc", "\xEF\xBB\xBF{}", R"("\x")", R"("\u12")",
                             R"("\u00e")", R"("\U0041")", R"("\ud800")", R"("\ud800\u0041")", R"("\ud800\n")",
                             R"("\udc00")", R"("\")", std::string(128, '[') + std::string(128, ']')));

TEST(OnePass, AgreesWithTheGeneralPathOnJsonTestSuite) {
  std::size_t answered = 0;
  for (const auto& path : test_support::test_data_files("json-test-suite")) {
    std::string text = test_support::read_test_data(path);
    SCOPED_TRACE(path.filename().string());
    expect_agrees_with_general_path(text, false);
    if (canonical_json_of_text(text)) ++answered;
  }
  EXPECT_GT(answered, 30U);  // the suite's plain documents are taken, not all left behind
}

}  // namespace
}  // namespace kest::events
