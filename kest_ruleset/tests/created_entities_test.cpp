// Entities a working state creates are held aside until handed back. Against a plain copy of the
// state into which every creation is inserted at once, random edits, lookups, selections and
// undone rules must see the same world, and handing back must give that copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "kest/utf8.hpp"
#include "rules_test_support.hpp"
#include "selection_index.hpp"
#include "working_state.hpp"

namespace kest::ruleset {
namespace {

// Byte order and UTF-16 order differ between U+E000 and U+1F600.
const std::vector<std::string> kIds = {"a", "c", "e", "b", "d", "\uE000", "\U0001F600", "0"};

class CreatedEntitiesAgainstInsertion : public ::testing::TestWithParam<unsigned> {};

TEST_P(CreatedEntitiesAgainstInsertion, SeeTheWorldAsIfInserted) {
  std::mt19937 random(GetParam());
  auto pick = [&random](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  json::Value state = doc(R"({"entities": {"a": {"properties": {"hp": 1}, "tags": ["t"]}, "c": {"tags": ["t", 5]},
                                           "e": {"tags": "t"}}})");
  json::Value plain = state;
  SelectionIndex selections;
  for (int rule = 0; rule < 30; ++rule) {
    json::Value plain_after = plain;
    json::Object& plain_entities = plain_after.find("entities")->as_object();
    WorkingState world(state, selections);
    for (int step = 0; step < 6; ++step) {
      const std::string& id = kIds[pick(kIds.size())];
      if (pick(2) == 0) {
        json::Object* entity = *world.entity_mut(id);
        if (!plain_entities.contains(id)) {
          plain_entities.insert_or_assign(id, doc(R"({"properties": {}, "tags": []})"));
        }
        json::Object& plain_entity = plain_entities.find(id)->as_object();
        if (pick(2) == 0) {
          json::Value* properties = plain_entity.find("properties");
          const bool writable = properties != nullptr && properties->is_object();
          ASSERT_EQ(world.write_property(id, *entity, "hp", rule).has_value(), writable) << id;
          if (writable) properties->as_object().insert_or_assign("hp", rule);
        } else {
          const json::Array tags = pick(2) == 0 ? json::Array{"t"} : json::Array{};
          world.replace_tags(id, *entity, tags);
          plain_entity.insert_or_assign("tags", tags);
        }
      }
      EXPECT_EQ(world.find_entity(id) != nullptr, plain_entities.contains(id)) << id;
      EXPECT_EQ(read_prop(world, id, "hp"), read_prop(plain_after, id, "hp")) << id;
      EXPECT_EQ(world.entity_has_tag(id, "t"),
                plain_entities.contains(id) && entity_has_tag(plain_after["entities"][id], "t"));
      EXPECT_EQ(world.entity_count(), plain_entities.size());
      std::vector<std::string> carriers;
      for (const json::Member& entity : plain_entities) {
        if (entity_has_tag(entity.value, "t")) carriers.push_back(entity.key);
      }
      std::ranges::sort(carriers, json::utf16_less);
      EXPECT_EQ(world.select_tagged(state["entities"].as_object(), "t", 64), carriers);
    }
    if (pick(3) != 0) {
      world.commit();
      plain = std::move(plain_after);
    }
  }
  selections.hand_back(state);
  EXPECT_EQ(state, plain);
}

INSTANTIATE_TEST_SUITE_P(Seeds, CreatedEntitiesAgainstInsertion, ::testing::Range(1U, 21U));

}  // namespace
}  // namespace kest::ruleset
