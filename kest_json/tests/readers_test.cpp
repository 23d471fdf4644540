#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kest/json.hpp"
#include "kest/readers.hpp"

namespace kest::json {
namespace {

Value doc(std::string_view text) { return *parse(text); }

struct NumberReading {
  std::string_view text;
  std::optional<std::int64_t> integer;
  std::optional<std::uint64_t> count;
};

class NumberReaders : public ::testing::TestWithParam<NumberReading> {};

TEST_P(NumberReaders, ReadTheKindTheParserProduced) {
  const NumberReading& c = GetParam();
  EXPECT_EQ(integer_value(doc(c.text)), c.integer);
  EXPECT_EQ(safe_count_value(doc(c.text)), c.count);
}

INSTANTIATE_TEST_SUITE_P(Values, NumberReaders,
                         ::testing::Values(NumberReading{"0", 0, 0U}, NumberReading{"-1", -1, std::nullopt},
                                           NumberReading{"9007199254740991", 9007199254740991, 9007199254740991U},
                                           NumberReading{"9007199254740992", 9007199254740992, std::nullopt},
                                           NumberReading{"9223372036854775807", INT64_MAX, std::nullopt},
                                           NumberReading{"9223372036854775808", std::nullopt, std::nullopt},
                                           NumberReading{"-9223372036854775808", INT64_MIN, std::nullopt},
                                           NumberReading{"7.0", std::nullopt, std::nullopt},
                                           NumberReading{"\"7\"", std::nullopt, std::nullopt},
                                           NumberReading{"null", std::nullopt, std::nullopt},
                                           NumberReading{"true", std::nullopt, std::nullopt}));

struct CountMember {
  std::string_view document;
  Result<std::optional<std::uint64_t>> expected;
};

class OptionalCount : public ::testing::TestWithParam<CountMember> {};

TEST_P(OptionalCount, NamesTheMemberThatFailed) {
  const CountMember& c = GetParam();
  EXPECT_EQ(read_optional_count(doc(c.document), "cap"), c.expected);
}

const std::unexpected<std::string> kBadCap = fail("cap must be a non-negative JS-safe integer");

INSTANTIATE_TEST_SUITE_P(
    Documents, OptionalCount,
    ::testing::Values(CountMember{"{}", std::nullopt}, CountMember{R"({"cap":null})", std::nullopt},
                      CountMember{R"({"cap":3})", 3U}, CountMember{"[]", std::nullopt},
                      CountMember{R"({"cap":-1})", kBadCap}, CountMember{R"({"cap":2.0})", kBadCap},
                      CountMember{R"({"cap":"3"})", kBadCap}, CountMember{R"({"cap":9007199254740992})", kBadCap}));

TEST(WithPrefix, PutsThePrefixBeforeAFailureOnly) {
  EXPECT_EQ(with_prefix("sub: ", Result<int>(4)), Result<int>(4));
  EXPECT_EQ(with_prefix("sub: ", Result<int>(fail("x must be"))), Result<int>(fail("sub: x must be")));
}

TEST(TakeMember, MovesTheMemberOutAndGivesNullForAnAbsentOne) {
  Value document = doc(R"({"state":{"a":[1,2]}})");
  EXPECT_EQ(take_member(document, "state"), doc(R"({"a":[1,2]})"));
  EXPECT_TRUE(take_member(document, "missing").is_null());
}

}  // namespace
}  // namespace kest::json
