// The one-pass canonical text against the general path (parse, then canonical_json): whatever
// text it answers for, it gives the same canonical text and UTF-16 length, and it answers for no
// text that fails to parse or has no canonical form.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <vector>

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
  EXPECT_EQ(fast->text(), *general) << text;
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
                             R"("\udc00")", R"("\")", "[\"abcdefgh\tijklmnopq\"]", "[\"abcdefghij\x01klmnopq\"]",
                             "[\"abcdefgh\x80ijklmnopq\"]", std::string(128, '[') + std::string(128, ']')));

// Strings are scanned a block of up to 16 bytes at a time, so each kind of character that ends a
// plain run is tried at every offset of strings up to two such blocks long, in a key, as a value,
// and where the text ends right after it. Whatever the general path gives a canonical form, the
// one pass gives too: characters from U+0300 on are NFC or not as what precedes them decides, and
// those below it never reach the NFC test.
class OnePassStrings : public testing::TestWithParam<std::string> {};

TEST_P(OnePassStrings, AtEveryOffsetOfTheScan) {
  for (std::size_t length = 0; length <= 33; ++length) {
    for (std::size_t at = 0; at <= length; ++at) {
      std::string content = std::string(at, 'a') + GetParam() + std::string(length - at, 'b');
      std::string quoted = "\"" + content + "\"";
      for (const std::string& text :
           {quoted, "{" + quoted + ":[" + quoted + "],\"\\u0000\":0}", "[0," + quoted + "]"}) {
        expect_agrees_with_general_path(text, general_path(text).has_value());
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Characters, OnePassStrings,
                         testing::Values("", "\\n", "\\\"", "\\u00e9", "\xC3\xA9", "\xE6\x9D\xB1", "\xEE\x80\x80",
                                         "\xF0\x9F\x98\x80", "\x7F", " ", "~", "\xCB\xBF", "\xCC\x80", "\\u0300",
                                         "\\u02ff", "\xCC\x81\xCC\x80", "\xE1\xBA\xB7", "\xCE\xAD"));

// Keys that share their first eight bytes, or differ only past them, in every order; the members
// come out in key order whether they arrived in it or not.
TEST(OnePass, PutsMembersInKeyOrderFromAnyArrivalOrder) {
  std::vector<std::string> keys = {"",          "a",        "ab", "abcdefg",      "abcdefgh",        "abcdefgh\\u0000",
                                   "abcdefghi", "abcdefgi", "b",  "\xEF\xBF\xBF", "\xF0\x90\x80\x80"};
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::ranges::shuffle(keys, random);
    std::string text = "{";
    for (std::size_t i = 0; i < keys.size(); ++i) text += (i ? ",\"" : "\"") + keys[i] + "\":" + std::to_string(i);
    expect_agrees_with_general_path(text + "}", true);
  }
}

// A large object in the order a program's maps keep ("e0", "e1", ... "e10"), whose members are
// objects out of order themselves, with a repeated key or without. Its members arrive as runs in
// key order, two short ones, three or four long ones.
class OnePassMaps : public testing::TestWithParam<int> {};

TEST_P(OnePassMaps, ComeOutInKeyOrder) {
  std::string entities;
  for (int i = 0; i < GetParam(); ++i) {
    entities += (i ? ",\"e" : "\"e") + std::to_string(i) + "\":{\"name\":\"\xC3\x86 " + std::to_string(i) +
                "\",\"hp\":" + std::to_string(i % 97) + ",\"ac\":[1,{\"z\":0,\"a\":1}]}";
  }
  std::string text = "{\"frame\":0,\"entities\":{" + entities + "},\"epoch\":1}";
  expect_agrees_with_general_path(text, true);
  std::string repeated =
      "{\"frame\":0,\"entities\":{" + entities + ",\"e" + std::to_string(GetParam() / 2) + "\":0},\"epoch\":1}";
  ASSERT_TRUE(general_path(repeated).has_value());
  EXPECT_FALSE(canonical_json_of_text(repeated));
}

INSTANTIATE_TEST_SUITE_P(Sizes, OnePassMaps, testing::Values(20, 300, 3000));

// Objects of member counts on either side of the one below which members are sorted by
// insertion, with member texts on either side of the 16-byte copy block, arriving reversed,
// shuffled, or with a key repeated. Each stands alone, where it is gathered in place and the
// buffers trade places, and after longer text, where it is gathered apart and copied back.
class OnePassObjects : public testing::TestWithParam<std::size_t> {};

TEST_P(OnePassObjects, ComeOutInKeyOrderWhereverTheyLie) {
  std::vector<std::string> members;
  for (std::size_t i = 0; i < GetParam(); ++i) {
    members.push_back("\"k" + std::to_string(i) + "\": \"" + std::string(i % 37, 'v') + "\"");
  }
  auto texts = [](const std::vector<std::string>& in_order) {
    std::string object = "{";
    for (const std::string& member : in_order) object += (object.size() > 1 ? "," : "") + member;
    object += "}";
    return std::vector<std::string>{object, "[\"" + std::string(5000, 'p') + "\"," + object + "]"};
  };
  std::mt19937 random(static_cast<std::mt19937::result_type>(GetParam()));
  std::ranges::reverse(members);
  for (int round = 0; round < 4; ++round) {
    for (const std::string& text : texts(members)) expect_agrees_with_general_path(text, true);
    std::vector<std::string> repeated = members;
    repeated.insert(repeated.begin() + static_cast<std::ptrdiff_t>(random() % (members.size() + 1)),
                    "\"k" + std::to_string(random() % members.size()) + "\":0");
    for (const std::string& text : texts(repeated)) {
      ASSERT_TRUE(general_path(text).has_value());
      EXPECT_FALSE(canonical_json_of_text(text)) << text;
    }
    std::ranges::shuffle(members, random);
  }
}

INSTANTIATE_TEST_SUITE_P(MemberCounts, OnePassObjects, testing::Values(2, 3, 31, 32, 33, 250));

// Small objects that follow one put in order: with its keys in its order (which take the order
// found for it), or with keys that differ from its only past their first eight bytes, arrive in
// another order, are fewer or more, or were decoded from escapes, and with a large object put in
// order between two of them. (Repeated keys after a shape are among the repeated keys below.)
class OnePassObjectShapes : public testing::TestWithParam<std::string> {};

TEST_P(OnePassObjectShapes, EachComeOutInKeyOrder) {
  expect_agrees_with_general_path(GetParam(), general_path(GetParam()).has_value());
}

std::string large_object_out_of_order() {
  std::string members;
  for (int i = 40; i > 0; --i) members += (members.empty() ? "\"k" : ",\"k") + std::to_string(i) + "\":0";
  return "{" + members + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OnePassObjectShapes,
    testing::Values(R"([{"b":1,"a":2},{"b":3,"a":4},{"b":5,"a":6}])", R"([{"b":1,"a":2},{"a":3,"b":4}])",
                    R"([{"b":1,"a":2},{"c":3,"a":4}])", R"([{"b":1,"a":2},{"b":3,"a":4,"c":5},{"b":6}])",
                    R"([{"b\u0000":1,"a":2},{"b\u0000":3,"a":4}])", R"([{"b":1,"a":2},{"\u0062":3,"a":4}])",
                    R"([{"\u0062":1,"a":2},{"b":3,"a":4},{"b":5,"a":6}])",
                    // Decoded keys too long to be kept inside their strings, each in turn.
                    R"([{"\u0062bbbbbbbbbbbbbbbbbbbb2":1,"bbbbbbbbbbbbbbbbbbbbb3":2,"bbbbbbbbbbbbbbbbbbbbb1":3},)"
                    R"({"\u0062bbbbbbbbbbbbbbbbbbbb0":1,"bbbbbbbbbbbbbbbbbbbbb3":2,"bbbbbbbbbbbbbbbbbbbbb1":3}])",
                    R"([{"abcdefgh2":1,"abcdefgh3":2,"abcdefgh1":3},{"abcdefgh2":4,"abcdefgh0":5,"abcdefgh1":6}])",
                    "[{\"\xEE\x80\x80\":1,\"\xF0\x90\x80\x80\":2},{\"\xEE\x80\x80\":3,\"\xF0\x90\x80\x80\":4}]",
                    R"([{"b":1,"a":2},)" + large_object_out_of_order() + R"(,{"b":3,"a":4}])",
                    R"({"y":{"b":1,"a":2},"x":{"b":3,"a":{"d":4,"c":5}},"w":{"b":6,"a":7}})"));

class OnePassRepeatedKeys : public testing::TestWithParam<std::string> {};

TEST_P(OnePassRepeatedKeys, AreLeftToTheGeneralPath) {
  ASSERT_TRUE(general_path(GetParam()).has_value());
  EXPECT_FALSE(canonical_json_of_text(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Texts, OnePassRepeatedKeys,
                         testing::Values(R"({"a":1,"a":2})", R"({"a":1,"b":2,"a":3})", R"({"b":1,"a":2,"b":3})",
                                         R"({"abcdefgh1":1,"abcdefgh1":2})", R"({"x":{"a":1,"b":2},"x":0})",
                                         R"({"":1,"":2})", R"([{"a":0},{"b":1,"b":2}])",
                                         R"([{"b":1,"a":2},{"b":3,"b":4}])", R"([{"b":1,"a":2},{"b":3,"a":4,"b":5}])"));

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
