#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "kest/held_members.hpp"
#include "kest/json.hpp"

namespace kest::json {
namespace {

using namespace std::literals;

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string nested_objects(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += R"({"k":)";
  text += "0";
  return text + std::string(depth, '}');
}

struct NumberCase {
  std::string_view text;
  Value expected;  // equality compares the number kind, and floats bit for bit
};

class ParseNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(ParseNumber, KeepsTheKindItsLiteralGives) {
  auto parsed = parse(GetParam().text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error();
  EXPECT_EQ(*parsed, GetParam().expected) << write(*parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Literals, ParseNumber,
    testing::Values(NumberCase{"0", Value(std::uint64_t{0})}, NumberCase{"-0", Value(-0.0)},
                    NumberCase{"-1", Value(std::int64_t{-1})},
                    NumberCase{"18446744073709551615", Value(std::numeric_limits<std::uint64_t>::max())},
                    NumberCase{"18446744073709551616", Value(18446744073709551616.0)},
                    NumberCase{"-9223372036854775808", Value(std::numeric_limits<std::int64_t>::min())},
                    NumberCase{"-9223372036854775809", Value(-9223372036854775809.0)},
                    NumberCase{"-18446744073709551616", Value(-18446744073709551616.0)}, NumberCase{"1.0", Value(1.0)},
                    NumberCase{"3e0", Value(3.0)}, NumberCase{"1E+2", Value(100.0)}, NumberCase{"-0.0", Value(-0.0)},
                    NumberCase{"0.5", Value(0.5)}, NumberCase{"1e-400", Value(0.0)}, NumberCase{"-1e-400", Value(-0.0)},
                    NumberCase{"5e-324", Value(5e-324)},
                    NumberCase{"1.7976931348623157e308", Value(std::numeric_limits<double>::max())}));

TEST(Parse, RefusesNumbersBeyondTheDoubleRange) {
  for (std::string text : {"1e400"s, "-1e400"s, "1.7976931348623159e308"s, std::string(400, '9'),
                           "-" + std::string(400, '9'), "123e99999999999999999999"s}) {
    auto parsed = parse(text);
    ASSERT_FALSE(parsed.has_value()) << text.substr(0, 30);
    EXPECT_EQ(parsed.error(), "Number too big to be stored in double. (at offset 0)");
  }
  // A long mantissa is fine when the exponent brings it back into range.
  EXPECT_EQ(parse("0." + std::string(400, '0') + "1e400").value(), Value(0.1));
}

TEST(Parse, AllowsExactlyTheMaximumNestingDepth) {
  for (auto nested : {nested_arrays, nested_objects}) {
    EXPECT_TRUE(parse(nested(kMaxParseDepth)).has_value());
    auto too_deep = parse(nested(kMaxParseDepth + 1));
    ASSERT_FALSE(too_deep.has_value());
    EXPECT_TRUE(too_deep.error().starts_with("Nesting deeper than 127 levels.")) << too_deep.error();
  }
  EXPECT_FALSE(parse(std::string(1'000'000, '[')).has_value());
}

TEST(Parse, KeepsTheLastValueOfARepeatedKey) {
  EXPECT_EQ(write(parse(R"({"b":1,"a":2,"b":3})").value()), R"({"a":2,"b":3})");
  EXPECT_EQ(write(parse(R"({"a":{"x":1},"a":[2],"a":{"y":3}})").value()), R"({"a":{"y":3}})");
  // Many copies out of key order: sorting the members must keep the copies of one key in input
  // order, or another copy than the last one wins.
  std::string text = R"({"z":0)";
  for (int n = 0; n < 200; ++n)
    text += R"(,"k":)" + std::to_string(n) + (n % 9 == 0 ? R"(,"b":)" + std::to_string(n) : "");
  EXPECT_EQ(write(parse(text + "}").value()), R"({"b":198,"k":199,"z":0})");
}

TEST(Parse, OrdersMembersByKeyBytes) {
  // Byte order puts U+E000 (EE 80 80) before U+10000 (F0 90 80 80), unlike UTF-16 order.
  auto value = parse(R"({"b":0,"\u00e9":0,"\ud800\udc00":0,"":0,"ab":0,"a":0,"B":0,"\ue000":0})").value();
  std::vector<std::string> keys;
  for (const Member& member : value.as_object()) keys.push_back(member.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "b", "\xC3\xA9", "\xEE\x80\x80", "\xF0\x90\x80\x80"}));
}

TEST(Parse, DecodesEscapesIntoUtf8) {
  EXPECT_EQ(parse(R"("\ud83d\ude00\u00e9\/\n")").value(), Value("😀é/\n"));
  EXPECT_EQ(parse(R"("a\u0000b")").value().as_string(), "a\0b"s);
}

TEST(Parse, RefusesEscapesThatLeaveALoneSurrogate) {
  for (std::string_view text : {R"("\uD800")", R"("\uDC00")", R"("\uDBFF\u0041")", R"("\uDFFF\uD800")",
                                R"(["x\uDE00y"])", R"({"\uDC00":1})", R"("\uD800\uD800")"}) {
    auto parsed = parse(text);
    ASSERT_FALSE(parsed.has_value()) << text;
    EXPECT_TRUE(parsed.error().starts_with("The surrogate pair in string is invalid.")) << parsed.error();
  }
}

TEST(Parse, RefusesAnythingButWhitespaceAfterTheValue) {
  EXPECT_EQ(parse(" \t\r\n[1] \t\r\n").value(), Value(Array{Value(1)}));
  for (std::string text : {"1 x"s, "[1]]"s, "{} {}"s, "1\0"s, "[1]\0"s, "\"a\" \0 "s,
                           "0\0"
                           "1"s,
                           "1\f"s}) {
    auto parsed = parse(text);
    EXPECT_FALSE(parsed.has_value()) << text;
  }
  EXPECT_EQ(parse("[1] \0x"s).error(), "The document root must not be followed by other values. (at offset 4)");
}

TEST(Parse, ReportsTheFaultAndItsOffset) {
  EXPECT_EQ(parse("").error(), "The document is empty. (at offset 0)");
  EXPECT_EQ(parse("[1,]").error(), "Invalid value. (at offset 3)");
  EXPECT_EQ(parse(R"({"a" 1})").error(), "Missing a colon after a name of object member. (at offset 5)");
}

TEST(Write, IsCompactWithPlainIntegersAndSortedMembers) {
  Object object{{"z", Value(Array{Value(1), Value(-2), Value(std::numeric_limits<std::uint64_t>::max()),
                                  Value(std::numeric_limits<std::int64_t>::min())})},
                {"a", Value(Object{{"y", Value(true)}, {"x", Value()}})},
                {"m", Value(false)}};
  EXPECT_EQ(write(Value(std::move(object))),
            R"({"a":{"x":null,"y":true},"m":false,"z":[1,-2,18446744073709551615,-9223372036854775808]})");
}

TEST(Write, FloatsReadBackAsFloatsOfTheSameValue) {
  for (double d : {3.0, -0.0, 0.0, 0.1, -2.5, 1e21, 1e300, 5e-324, 18446744073709551616.0,
                   std::numeric_limits<double>::max(), 9007199254740993.0}) {
    std::string text = write(Value(d));
    EXPECT_EQ(parse(text).value(), Value(d)) << text;
  }
  EXPECT_EQ(write(Value(3.0)), "3.0");
  EXPECT_EQ(write(Value(-0.0)), "-0.0");
}

TEST(Write, WritesNonFiniteFloatsAsNull) {
  Array values{Value(std::numeric_limits<double>::quiet_NaN()), Value(std::numeric_limits<double>::infinity()),
               Value(-std::numeric_limits<double>::infinity())};
  EXPECT_EQ(write(Value(std::move(values))), "[null,null,null]");
}

TEST(Write, RoundTripsParsedText) {
  for (std::string_view text : {R"({"a":[1,-2,1.5,-0.0,1e+300,true,false,null,"x"],"b":{"":{}},"c":[]})",
                                R"("😀\u0000\"\\")", R"([[[[]]],{"k":[{"k":[]}]}])"}) {
    EXPECT_EQ(write(parse(text).value()), text);
  }
  std::string deep = nested_objects(kMaxParseDepth);
  EXPECT_EQ(write(parse(deep).value()), deep);
}

TEST(WriteString, QuotesAsJsonStringifyDoes) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  for (auto [in, out] : {Case{"\b\t\n\f\r\"\\", R"("\b\t\n\f\r\"\\")"}, Case{"\x01\x0b\x1f", R"("\u0001\u000b\u001f")"},
                         Case{"\0"sv, R"("\u0000")"}, Case{"/\x7f", "\"/\x7f\""},
                         Case{"\u2028\u2029é😀", "\"\u2028\u2029é😀\""}, Case{"", R"("")"}}) {
    std::string quoted;
    write_string(quoted, in);
    EXPECT_EQ(quoted, out);
  }
}

TEST(Object, KeepsMembersSortedThroughEdits) {
  Object object{{"b", Value(1)}, {"a", Value(2)}, {"b", Value(3)}};
  EXPECT_EQ(object.size(), 2U);
  EXPECT_EQ(*object.find("b"), Value(3));
  object.insert_or_assign("c", Value("x"));
  object.insert_or_assign("a", Value(4));
  object.insert_or_assign("", Value());
  EXPECT_TRUE(object.erase("b"));
  EXPECT_FALSE(object.erase("b"));
  EXPECT_FALSE(object.contains("b"));
  EXPECT_EQ(write(Value(std::move(object))), R"({"":null,"a":4,"c":"x"})");
}

TEST(Value, LooksUpMembersAsNullWhenAbsent) {
  Value object(Object{{"a", Value(1)}});
  EXPECT_EQ(object["a"], Value(1));
  EXPECT_TRUE(object["missing"].is_null());
  EXPECT_EQ(object.find("missing"), nullptr);
  EXPECT_TRUE(Value(Array{})["a"].is_null());
  EXPECT_EQ(Value(7).find("a"), nullptr);
}

TEST(Value, EqualityKeepsNumberKindsApart) {
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(0.0), Value(-0.0));
  EXPECT_NE(Value(std::int64_t{-1}), Value(-1.0));
  EXPECT_EQ(Value(std::int64_t{5}), Value(std::uint64_t{5}));  // a non-negative integer is always a Uint
  EXPECT_TRUE(Value(std::int64_t{5}).is_uint());
  EXPECT_NE(Value(Array{Value(1)}), Value(Array{Value(1.0)}));
}

// Held members merged into an object in one pass must give what inserting them one by one gives,
// wherever their keys fall: before, between and after the object's, in byte order (not UTF-16).
class HeldMembersMerge : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(HeldMembersMerge, EqualsOneInsertionEach) {
  Object merged{{"b", 1}, {"d", 2}, {"\uE000", 3}};
  Object inserted = merged;
  HeldMembers held;
  int value = 10;
  for (const std::string& key : GetParam()) {
    held.try_emplace(key, Value(value));
    inserted.insert_or_assign(key, Value(value++));
  }
  EXPECT_EQ(held.try_emplace(GetParam().front(), Value(-1)), Value(10)) << "a held member is not replaced";
  held.merge_into(merged);
  EXPECT_EQ(merged, inserted);
  EXPECT_TRUE(held.empty());
}

INSTANTIATE_TEST_SUITE_P(Keys, HeldMembersMerge,
                         ::testing::Values(std::vector<std::string>{"a"}, std::vector<std::string>{"e", "c", "a"},
                                           std::vector<std::string>{"\U0001F600", "bb", ""},
                                           std::vector<std::string>{"z", "y", "x", "c"}));

}  // namespace
}  // namespace kest::json
