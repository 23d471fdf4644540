#include <gtest/gtest.h>

#include <string>

#include "rules_test_support.hpp"
#include "values.hpp"
#include "working_state.hpp"

namespace kest::ruleset {
namespace {

struct IntCase {
  const char* json;
  Result<std::int64_t> expected;
};

TEST(ValueInt, ReadsJsSafeIntegersOnly) {
  const IntCase cases[] = {
      {"7", 7},
      {"7.0", 7},
      {"-0.0", 0},
      {"-9007199254740991", -9007199254740991},
      {"9007199254740991.0", 9007199254740991},
      {"7.5", std::unexpected("AST: property must be a JS-safe integer: 7.5")},
      {"9007199254740992", std::unexpected("AST: property must be a JS-safe integer: 9007199254740992")},
      {"-9007199254740992", std::unexpected("AST: property must be a JS-safe integer: -9007199254740992")},
      {"18446744073709551615", std::unexpected("AST: property must be a JS-safe integer: 18446744073709551615")},
      {"\"x\"", std::unexpected("AST: property must be a JS-safe integer: \"x\"")},
      {"null", std::unexpected("AST: property must be a JS-safe integer: null")},
      {"[1]", std::unexpected("AST: property must be a JS-safe integer: [1]")},
  };
  for (const IntCase& c : cases) EXPECT_EQ(value_int(doc(c.json), "property"), c.expected) << c.json;
}

TEST(AssertInt128, ShowsTheExactValueBeyondSixtyFourBits) {
  Int128 max = 9007199254740991;
  EXPECT_EQ(assert_int128(max, "math result"), 9007199254740991);
  EXPECT_EQ(assert_int128(-max, "math result"), -9007199254740991);
  EXPECT_EQ(assert_int128(max * max, "math result").error(),
            "AST: math result must be a JS-safe integer: 81129638414606663681390495662081");
  EXPECT_EQ(assert_int128(-max - 1, "delta").error(), "AST: delta must be a JS-safe integer: -9007199254740992");
  EXPECT_EQ(assert_int(9007199254740992, "dice result").error(),
            "AST: dice result must be a JS-safe integer: 9007199254740992");
}

std::string repeated(std::string_view unit, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += unit;
  return text;
}

struct NameCase {
  std::string name;
  const char* error;  // nullptr when the name is clean
};

TEST(AssertCleanName, TestsInOrder) {
  const NameCase cases[] = {
      {"", "AST: tag name must be a non-empty string"},
      {"__proto__", "AST: tag name \"__proto__\" is forbidden"},
      {"__proto__x", nullptr},
      {repeated("a", 256), nullptr},
      {repeated("a", 257), "AST: tag name exceeds max length 256"},
      {repeated("\U00010000", 128), nullptr},  // two UTF-16 units each
      {repeated("\U00010000", 128) + "a", "AST: tag name exceeds max length 256"},
      {"e\u0301", "AST: tag name is not NFC (normalize first)"},
      {"\u00e9", nullptr},
  };
  for (const NameCase& c : cases) {
    Result<void> checked = assert_clean_name(c.name, "tag");
    if (c.error == nullptr) {
      EXPECT_TRUE(checked.has_value()) << c.name;
    } else {
      EXPECT_EQ(error_of(checked), c.error) << c.name;
    }
  }
}

TEST(ReadProp, MissingPiecesReadAsZero) {
  json::Value state = doc(R"({"entities":{"a":{"properties":{"hp":7.0,"bad":7.5}},"b":{},"c":[]}})");
  EXPECT_EQ(read_prop(state, "a", "hp"), 7);
  EXPECT_EQ(read_prop(state, "a", "mp"), 0);
  EXPECT_EQ(read_prop(state, "b", "hp"), 0);
  EXPECT_EQ(read_prop(state, "c", "hp"), 0);
  EXPECT_EQ(read_prop(state, "z", "hp"), 0);
  EXPECT_EQ(read_prop(doc("[]"), "a", "hp"), 0);
  EXPECT_EQ(error_of(read_prop(state, "a", "bad")), "AST: property must be a JS-safe integer: 7.5");
}

TEST(EntityHasTag, MatchesStringElementsOfATagsArray) {
  EXPECT_TRUE(entity_has_tag(doc(R"({"tags":[1,"x"]})"), "x"));
  EXPECT_FALSE(entity_has_tag(doc(R"({"tags":{"x":"x"}})"), "x"));
  EXPECT_FALSE(entity_has_tag(doc(R"({})"), "x"));
  EXPECT_FALSE(entity_has_tag(doc(R"(["x"])"), "x"));
}

TEST(WorkingState, EntityMutCreatesOrRefuses) {
  json::Value state = doc(R"({"entities":{"a":{"tags":[]},"n":3}})");
  {
    SelectionIndex selections;
    WorkingState world(state, selections);
    EXPECT_EQ(error_of(world.entity_mut("n")), "AST: entity must be an object");
    ASSERT_TRUE(world.entity_mut("b").has_value());
    world.commit();
    selections.hand_back(state);
  }
  EXPECT_EQ(state, doc(R"({"entities":{"a":{"tags":[]},"b":{"properties":{},"tags":[]},"n":3}})"));
  for (const char* text : {R"({})", R"({"entities":[]})", R"([])"}) {
    json::Value other = doc(text);
    SelectionIndex selections;
    WorkingState world(other, selections);
    EXPECT_EQ(error_of(world.entity_mut("a")), "AST: state.entities must be an object") << text;
  }
}

TEST(WorkingState, UncommittedEditsAreUndoneExactly) {
  const json::Value before = doc(R"({"entities":{"a":{"properties":{"hp":7.0}},"b":{"properties":{},"tags":["x"]}}})");
  json::Value state = before;
  {
    SelectionIndex selections;
    WorkingState world(state, selections);
    json::Object* a = *world.entity_mut("a");
    ASSERT_TRUE(world.write_property("a", *a, "hp", 3).has_value());
    ASSERT_TRUE(world.write_property("a", *a, "mp", 1).has_value());
    world.replace_tags("a", *a, json::Array{"y"});
    json::Object* c = *world.entity_mut("c");
    ASSERT_TRUE(world.write_property("c", *c, "hp", 1).has_value());
    json::Object* b = *world.entity_mut("b");
    world.replace_tags("b", *b, json::Array{});
    ASSERT_TRUE(world.write_property("b", *b, "hp", 2).has_value());
    ASSERT_TRUE(world.write_property("b", *b, "hp", 4).has_value());
    EXPECT_NE(state, before);
  }
  EXPECT_EQ(state, before);  // 7.0 stays a float, absent members stay absent
}

}  // namespace
}  // namespace kest::ruleset
