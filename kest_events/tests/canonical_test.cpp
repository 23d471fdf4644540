#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "kest/canonical.hpp"
#include "kest/json_testing.hpp"
#include "kest/test_data.hpp"

namespace kest::events {
namespace {

using kest::test_support::doc;

using Canonical = std::expected<std::string, CanonError>;

Canonical fails(CanonError error) { return std::unexpected(error); }

// `value` wrapped in `levels` one-element arrays.
json::Value nested(json::Value value, std::size_t levels) {
  for (std::size_t i = 0; i < levels; ++i) {
    json::Array wrapper;  // not a braced list, which would copy the whole value at every level
    wrapper.push_back(std::move(value));
    value = json::Value(std::move(wrapper));
  }
  return value;
}

struct TextCase {
  const char* input;
  Canonical expected;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.input; }

class CanonicalOfText : public testing::TestWithParam<TextCase> {};

TEST_P(CanonicalOfText, GivesItsCanonicalFormOrItsFirstFault) {
  EXPECT_EQ(canonical_json(doc(GetParam().input)), GetParam().expected) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, CanonicalOfText,
    testing::Values(TextCase{"1.0", "1"}, TextCase{"0.0", "0"}, TextCase{"5e0", "5"}, TextCase{"-5.0", "-5"},
                    TextCase{"-0", fails(CanonError::kNegativeZero)},
                    TextCase{"-0.0", fails(CanonError::kNegativeZero)},
                    TextCase{"0.5", fails(CanonError::kNonIntegerNumber)},
                    TextCase{"9007199254740991", "9007199254740991"},
                    TextCase{"9007199254740992", fails(CanonError::kUnsafeInteger)},
                    TextCase{"18446744073709551615", fails(CanonError::kUnsafeInteger)},
                    TextCase{"-9007199254740991", "-9007199254740991"},
                    TextCase{"-9007199254740992", fails(CanonError::kUnsafeInteger)},
                    TextCase{"9007199254740991.0", "9007199254740991"},
                    TextCase{"9007199254740992.0", fails(CanonError::kUnsafeInteger)},
                    TextCase{"-9007199254740992.0", fails(CanonError::kUnsafeInteger)},
                    // Integral floats are integers up to 2^64 and down to -2^63, and nothing beyond.
                    TextCase{"1e19", fails(CanonError::kUnsafeInteger)},
                    TextCase{"18446744073709551616", fails(CanonError::kUnsafeInteger)},
                    TextCase{"18446744073709555000", fails(CanonError::kNonIntegerNumber)},
                    TextCase{"-9223372036854775808.0", fails(CanonError::kUnsafeInteger)},
                    TextCase{"-9223372036854777000.0", fails(CanonError::kNonIntegerNumber)},
                    TextCase{"-1e19", fails(CanonError::kNonIntegerNumber)},
                    TextCase{"1e300", fails(CanonError::kNonIntegerNumber)}));

INSTANTIATE_TEST_SUITE_P(
    Structure, CanonicalOfText,
    testing::Values(TextCase{R"({"b":1,"a":[true,null]})", R"({"a":[true,null],"b":1})"},
                    TextCase{" [ {} , [ ] , false ] ", "[{},[],false]"},
                    TextCase{R"({"ab":1,"a":2})", R"({"a":2,"ab":1})"},
                    // Surrogate pairs sort below U+E000..U+FFFF, though their UTF-8 bytes sort above.
                    TextCase{R"({"\uE000":1,"\uD800\uDC00":2})", "{\"\U00010000\":2,\"\uE000\":1}"},
                    TextCase{R"({"\uFFFF":1,"z":2,"\uDBFF\uDFFF":3,"\uE000x":4,"\u00e9":5,"\uD800\uDC00":6})",
                             "{\"z\":2,\"\u00e9\":5,\"\U00010000\":6,\"\U0010FFFF\":3,\"\uE000x\":4,\"\uFFFF\":1}"}));

INSTANTIATE_TEST_SUITE_P(
    FirstFaultWins, CanonicalOfText,
    testing::Values(TextCase{R"({"__proto__":1})", fails(CanonError::kForbiddenKey)},
                    TextCase{R"([{"x":{"__proto__":{}}}])", fails(CanonError::kForbiddenKey)},
                    TextCase{R"({"a":0.5,"__proto__":1})", fails(CanonError::kForbiddenKey)},
                    TextCase{"{\"A\":\"e\u0301\",\"__proto__\":1}", fails(CanonError::kForbiddenKey)},
                    TextCase{R"({"a":"__proto__"})", R"({"a":"__proto__"})"},
                    TextCase{R"({"a":0.5,"b":{"__proto__":1}})", fails(CanonError::kNonIntegerNumber)},
                    TextCase{R"({"b":0.5,"a":-0})", fails(CanonError::kNegativeZero)},
                    TextCase{"[0.5,-0]", fails(CanonError::kNonIntegerNumber)},
                    TextCase{"{\"e\u0301\":-0}", fails(CanonError::kNonNfc)},
                    TextCase{"[\"e\u0301\"]", fails(CanonError::kNonNfc)}, TextCase{"[\"\u00e9\"]", "[\"\u00e9\"]"}));

TEST(CanonicalJson, FloatsJsonCannotWriteAreNotIntegers) {
  for (double f : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(canonical_json(json::Value(f)), fails(CanonError::kNonIntegerNumber)) << f;
  }
  EXPECT_EQ(canonical_json(json::Value(-0.0)), fails(CanonError::kNegativeZero));
}

TEST(CanonicalJson, DepthCountsLevelsBelowTheRoot) {
  EXPECT_EQ(canonical_json(nested(json::Value(7), 256)), std::string(256, '[') + "7" + std::string(256, ']'));
  EXPECT_EQ(canonical_json(nested(json::Value(7), 257)), fails(CanonError::kDepthExceeded));
  EXPECT_TRUE(canonical_json(nested(json::Array{}, 256)).has_value());  // 257 levels of arrays
  EXPECT_EQ(canonical_json(nested(json::Array{}, 257)), fails(CanonError::kDepthExceeded));
  EXPECT_EQ(canonical_json(json::Value(nullptr), 256), "null");
  EXPECT_EQ(canonical_json(json::Value(nullptr), 257), fails(CanonError::kDepthExceeded));
  // Far deeper values fail at the limit without descending further.
  EXPECT_EQ(canonical_json(nested(json::Value(0.5), 20000)), fails(CanonError::kDepthExceeded));
}

TEST(CanonicalJson, DepthFaultComesBeforeTheValueAtThatDepth) {
  json::Object deep{{"__proto__", 1}};
  EXPECT_EQ(canonical_json(nested(json::Value(deep), 256)), fails(CanonError::kForbiddenKey));
  EXPECT_EQ(canonical_json(nested(json::Value(deep), 257)), fails(CanonError::kDepthExceeded));
}

TEST(CanonicalJson, AppendingLeavesTheBufferUntouchedOnFailure) {
  std::string out = "prefix";
  EXPECT_EQ(append_canonical_json(out, doc(R"({"a":[1,2,3],"b":0.5})")),
            std::unexpected(CanonError::kNonIntegerNumber));
  EXPECT_EQ(out, "prefix");
  EXPECT_TRUE(append_canonical_json(out, doc(R"({"a":1})")));
  EXPECT_EQ(out, R"(prefix{"a":1})");
}

TEST(JsJsonString, EscapesControlCharactersAsJsonStringifyDoes) {
  const std::string expected[] = {
      R"(\u0000)", R"(\u0001)", R"(\u0002)", R"(\u0003)", R"(\u0004)", R"(\u0005)", R"(\u0006)", R"(\u0007)",
      R"(\b)",     R"(\t)",     R"(\n)",     R"(\u000b)", R"(\f)",     R"(\r)",     R"(\u000e)", R"(\u000f)",
      R"(\u0010)", R"(\u0011)", R"(\u0012)", R"(\u0013)", R"(\u0014)", R"(\u0015)", R"(\u0016)", R"(\u0017)",
      R"(\u0018)", R"(\u0019)", R"(\u001a)", R"(\u001b)", R"(\u001c)", R"(\u001d)", R"(\u001e)", R"(\u001f)",
  };
  for (char c = 0; c < 0x20; ++c) {
    EXPECT_EQ(js_json_string(std::string(1, c)), "\"" + expected[static_cast<int>(c)] + "\"") << int{c};
  }
  EXPECT_EQ(js_json_string("a\"b\\c/"), R"("a\"b\\c/")");
  EXPECT_EQ(js_json_string("\x7F\u2028\u2029\U0001F600"), "\"\x7F\u2028\u2029\U0001F600\"");
  EXPECT_EQ(js_json_string(""), R"("")");
}

TEST(CanonicalJson, KeysAreEscapedLikeStrings) {
  json::Object object{{std::string("\x01\n\"", 3), 1}};
  EXPECT_EQ(canonical_json(json::Value(object)), R"({"\u0001\n\"":1})");
}

// RFC 8785's vectors: its key order and string quoting are this canonical form's too. Its inputs
// with fractional numbers or text not in NFC have no canonical form here.
std::string read_vector(const std::string& which, const std::string& name) {
  return kest::test_support::read_test_data(std::filesystem::path("jcs") / which / name);
}

class Rfc8785Vector : public testing::TestWithParam<const char*> {};

TEST_P(Rfc8785Vector, MatchesTheExpectedOutput) {
  EXPECT_EQ(canonical_json(doc(read_vector("input", GetParam()))), read_vector("output", GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Jcs, Rfc8785Vector, testing::Values("arrays.json", "french.json", "structures.json"));

TEST(Rfc8785Vectors, WithoutACanonicalFormHere) {
  EXPECT_EQ(canonical_json(doc(read_vector("input", "values.json"))), fails(CanonError::kNonIntegerNumber));
  EXPECT_EQ(canonical_json(doc(read_vector("input", "unicode.json"))), fails(CanonError::kNonNfc));
}

TEST(Rfc8785Vectors, WeirdKeysBarTheOneNotInNfc) {
  // U+FB33 is excluded from composition, so its NFC is the two-character sequence U+05D3 U+05BC.
  json::Value input = doc(read_vector("input", "weird.json"));
  EXPECT_EQ(canonical_json(input), fails(CanonError::kNonNfc));
  ASSERT_TRUE(input.as_object().erase("\uFB33"));
  std::string expected = read_vector("output", "weird.json");
  expected.erase(expected.rfind(",\"\uFB33\""), std::string::npos);  // the last member
  EXPECT_EQ(canonical_json(input), expected + "}");
}

}  // namespace
}  // namespace kest::events
