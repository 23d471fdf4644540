// The parser against JSONTestSuite: every y_ case parses, every n_ case is refused, and the
// implementation-defined i_ cases get the answers this engine's strict rules give them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kest/json.hpp"
#include "kest/test_data.hpp"

namespace kest::json {
namespace {

struct Case {
  std::string name;
  std::string text;
};

std::vector<Case> cases_with_prefix(std::string_view prefix) {
  std::vector<Case> cases;
  for (const auto& path : test_support::test_data_files("json-test-suite", prefix)) {
    cases.push_back(Case{path.filename().string(), test_support::read_test_data(path)});
  }
  return cases;
}

TEST(JsonTestSuite, AcceptsEveryValidDocument) {
  auto cases = cases_with_prefix("y_");
  ASSERT_GT(cases.size(), 90U);
  for (const Case& c : cases) {
    auto parsed = parse(c.text);
    EXPECT_TRUE(parsed.has_value()) << c.name << ": " << parsed.error();
  }
}

TEST(JsonTestSuite, RefusesEveryInvalidDocument) {
  auto cases = cases_with_prefix("n_");
  ASSERT_GT(cases.size(), 180U);
  for (const Case& c : cases) EXPECT_FALSE(parse(c.text).has_value()) << c.name;
}

// Strings must be well-formed UTF-8 without lone surrogates, nesting stops at 127 levels and a
// byte order mark is not whitespace, so every such implementation-defined case is refused.
TEST(JsonTestSuite, RefusesImplementationDefinedStringsAndStructures) {
  auto cases = cases_with_prefix("i_");
  ASSERT_GT(cases.size(), 30U);
  for (const Case& c : cases) {
    if (c.name.starts_with("i_number_")) continue;
    EXPECT_FALSE(parse(c.text).has_value()) << c.name;
  }
}

// Numbers beyond the integer kinds become floats; beyond the double range they are refused.
TEST(JsonTestSuite, ReadsImplementationDefinedNumbersAsFloatsOrRefusesThem) {
  for (const Case& c : cases_with_prefix("i_number_")) {
    auto parsed = parse(c.text);
    if (!parsed) {
      EXPECT_TRUE(parsed.error().starts_with("Number too big to be stored in double.")) << c.name;
      continue;
    }
    const Value& number = parsed->as_array().at(0);
    EXPECT_TRUE(number.is_double()) << c.name;
  }
}

}  // namespace
}  // namespace kest::json
