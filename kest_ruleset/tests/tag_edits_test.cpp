// add_tag and remove_tag edit lists of strings in place; the result must be the list rebuilt as
// they define it, for lists of every shape, and a failed rule must put the list back exactly.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kest/snapshot.hpp"
#include "rules_test_support.hpp"

namespace kest::ruleset {
namespace {

const std::vector<std::string> kTags = {"a", "b", "c", "\uE000", "\U0001F600"};

// The list as add_tag and remove_tag define it: the string elements, the tag appended and the
// list normalised, or every copy of the tag dropped.
json::Value by_definition(const json::Value& tags, const std::string& op, const std::string& tag) {
  std::vector<std::string> strings;
  if (const json::Array* elements = tags.if_array()) {
    for (const json::Value& element : *elements) {
      if (element.is_string()) strings.push_back(element.as_string());
    }
  }
  if (op == "add_tag") {
    strings.push_back(tag);
    strings = snapshot::normalize_tags(std::move(strings));
  } else {
    std::erase(strings, tag);
  }
  return json::Array(strings.begin(), strings.end());
}

class TagEditsAgainstDefinition : public ::testing::TestWithParam<unsigned> {};

TEST_P(TagEditsAgainstDefinition, GiveTheDefinedListAndUndoExactly) {
  std::mt19937 random(GetParam());
  auto pick = [&random](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  for (int round = 0; round < 50; ++round) {
    // Sorted or not, with repeats, sometimes with a non-string element.
    json::Array elements;
    for (std::size_t i = pick(6); i > 0; --i) elements.emplace_back(kTags[pick(kTags.size())]);
    if (pick(2) == 0) elements = by_definition(json::Value(elements), "add_tag", "a").as_array();
    if (pick(5) == 0) elements.emplace_back(7);
    const json::Value tags(elements);
    const std::string op = pick(2) == 0 ? "add_tag" : "remove_tag";
    const std::string tag = kTags[pick(kTags.size())];
    json::Object entity{{"tags", tags}};
    const json::Value before(json::Object{{"entities", json::Object{{"e", json::Value(entity)}}}});
    const std::string edit = R"({"type":")" + op + R"(","target":"actor","tag":")" + tag + "\"}";

    // A second edit of the same list in the same rule, which may find it already known in order.
    const std::string op2 = pick(2) == 0 ? "add_tag" : "remove_tag";
    const std::string tag2 = kTags[pick(kTags.size())];
    const std::string edit2 = R"({"type":")" + op2 + R"(","target":"actor","tag":")" + tag2 + "\"}";
    auto edited = apply_triggered_mutations(before, doc("[" + edit + "," + edit2 + "]"), "e", std::nullopt, 0);
    ASSERT_TRUE(edited.has_value());
    EXPECT_EQ(edited->state["entities"]["e"]["tags"], by_definition(by_definition(tags, op, tag), op2, tag2))
        << op << " " << tag << ", " << op2 << " " << tag2 << " on " << json::write(tags);

    // The edit twice, then a reference to an absent target: the rule fails and is undone.
    json::Value state = before;
    math::Pcg32 dice = math::Pcg32::seeded(0);
    auto failed = apply_triggered_mutations_in_place(
        state, doc("[" + edit + "," + edit + R"(,{"type":"add_tag","target":"target","tag":"a"}])"), "e", std::nullopt,
        dice);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(state, before);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TagEditsAgainstDefinition, ::testing::Range(1U, 21U));

}  // namespace
}  // namespace kest::ruleset
