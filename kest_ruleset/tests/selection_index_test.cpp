// The selection index against a scan of the world: random worlds with tags of every odd shape,
// edited by random rules run one after another with one index, some of them failing part-way and
// so undone. After every rule the index must name exactly the entities a scan finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kest/utf8.hpp"
#include "rules_test_support.hpp"
#include "selection_index.hpp"
#include "working_state.hpp"

namespace kest::ruleset {
namespace {

// Ids and tags whose UTF-16 order differs from byte order (U+E000 against U+1F600) and from id order.
const std::vector<std::string> kNames = {"x", "y", "a", "10", "2", "\uE000", "\U0001F600"};

// What the rules engine selected before it kept an index: every entity scanned, sorted by UTF-16.
std::vector<std::string> scan(const json::Value& state, const std::string& tag) {
  std::vector<std::string> ids;
  for (const json::Member& entity : state["entities"].as_object()) {
    if (entity_has_tag(entity.value, tag)) ids.push_back(entity.key);
  }
  std::ranges::sort(ids, json::utf16_less);
  return ids;
}

std::vector<std::string> indexed(const SelectionIndex::Tables& tables, const std::string& tag) {
  return tables.select(tag, std::numeric_limits<std::size_t>::max());
}

class RandomRules {
 public:
  explicit RandomRules(unsigned seed) : random_(seed) {}

  std::string name() { return kNames[pick(kNames.size())]; }

  // An entity whose "tags" may repeat a tag, hold non-strings, be no array at all, be missing or
  // be long enough for has_tag to read the index; or an entity that is no object.
  std::string entity() {
    switch (pick(7)) {
      case 5: {
        std::string tags = "\"" + name() + "\"";
        for (int i = 0; i < 40; ++i) tags += ",\"t" + std::to_string(i) + "\"";
        return R"({"tags":[)" + tags + "]}";
      }
      case 0: return R"({"tags":")" + name() + "\"}";
      case 1: return R"({"tags":{")" + name() + R"(":1}})";
      case 2: return "{}";
      case 3: return "7";
      default: {
        std::string tags;
        for (std::size_t i = pick(5); i > 0; --i) tags += (pick(4) == 0 ? "3," : "\"" + name() + "\",");
        if (!tags.empty()) tags.pop_back();
        return R"({"properties":{},"tags":[)" + tags + "]}";
      }
    }
  }

  std::string world() {
    std::string members;
    for (const std::string& id : kNames) {
      if (pick(3) != 0) members += "\"" + id + "\":" + entity() + ",";
    }
    if (!members.empty()) members.pop_back();
    return R"({"entities":{)" + members + "}}";
  }

  // A tag edit, a loop, or a reference to an absent target, which fails the rule part-way.
  std::string node(bool in_foreach, int depth) {
    const std::string target = in_foreach && pick(2) == 0 ? "each" : "actor";
    switch (pick(depth < 2 ? 4 : 3)) {
      case 0: return R"({"type":"add_tag","target":")" + target + R"(","tag":")" + name() + "\"}";
      case 1: return R"({"type":"remove_tag","target":")" + target + R"(","tag":")" + name() + "\"}";
      case 2:
        if (pick(2) == 0) {
          return R"({"type":"if","condition":{"type":"has_tag","target":")" + target + R"(","tag":")" + name() +
                 R"("},"then":[{"type":"add_tag","target":"actor","tag":"seen"}]})";
        }
        if (pick(4) == 0) return R"({"type":"add_tag","target":"target","tag":"x"})";
        return R"({"type":"remove_tag","target":")" + target + R"(","tag":")" + name() + "\"}";
      default:
        return R"({"type":"foreach_target","select":{"tag":")" + name() + R"(","limit":)" +
               std::to_string(1 + pick(3)) + R"(},"mutations":)" + list(true, depth + 1) + "}";
    }
  }

  std::string list(bool in_foreach, int depth) {
    std::string nodes;
    for (std::size_t i = 1 + pick(3); i > 0; --i) nodes += node(in_foreach, depth) + ",";
    nodes.pop_back();
    return "[" + nodes + "]";
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

 private:
  std::mt19937 random_;
};

class SelectionIndexAgainstScan : public ::testing::TestWithParam<unsigned> {};

TEST_P(SelectionIndexAgainstScan, StaysExactThroughEditsFailuresAndUndo) {
  RandomRules random(GetParam());
  json::Value state = doc(random.world());
  json::Value expected = state;  // what rules run one at a time with a fresh index make of it
  SelectionIndex selections;
  int failed = 0;
  for (int round = 0; round < 60; ++round) {
    const json::Value rule = doc(random.list(false, 0));
    const std::string actor = random.pick(4) == 0 ? "new" + std::to_string(round) : random.name();
    auto vetted = vet_triggered_mutations(rule);
    ASSERT_TRUE(vetted.has_value()) << vetted.error();
    // The same rule on a copy with a fresh index: the kept index must change no outcome.
    auto fresh = apply_triggered_mutations(expected, rule, actor, std::nullopt, 1);
    math::Pcg32 dice = math::Pcg32::seeded(1);
    auto kept = apply_triggered_mutations_in_place(state, selections, *vetted, actor, std::nullopt, dice);
    ASSERT_EQ(kept.has_value(), fresh.has_value());
    if (kept) {
      EXPECT_EQ(*kept, fresh->outcome);
      expected = std::move(fresh->state);
    } else {
      EXPECT_EQ(kept.error(), fresh.error());
      ++failed;
    }
    // Created entities stay aside across several rules before they join the state.
    if (random.pick(4) == 0) {
      selections.hand_back(state);
      ASSERT_EQ(state, expected) << "after rule " << json::write(rule);
    }
    if (!selections.tables().built()) continue;
    for (const std::string& tag : kNames) {
      const std::vector<std::string> carriers = scan(expected, tag);
      ASSERT_EQ(indexed(selections.tables(), tag), carriers) << "tag " << tag << " after rule " << json::write(rule);
      const std::vector<std::string> first_two(carriers.begin(),
                                               carriers.begin() + std::min<std::ptrdiff_t>(2, std::ssize(carriers)));
      EXPECT_EQ(selections.tables().select(tag, 2), first_two);
      for (const std::string& id : kNames) {
        EXPECT_EQ(selections.tables().carries(id, tag), std::ranges::find(carriers, id) != carriers.end());
      }
    }
  }
  selections.hand_back(state);
  EXPECT_EQ(state, expected);
  EXPECT_GT(failed, 0) << "some rules must fail part-way, so that undo is exercised";
}

INSTANTIATE_TEST_SUITE_P(Seeds, SelectionIndexAgainstScan, ::testing::Range(1U, 41U));

TEST(SelectionIndex, UndoOfAFailedRuleThatBuiltTheIndexLeavesItExact) {
  json::Value state = doc(R"({"entities":{"a":{"tags":["x","x",3]},"b":{"tags":"x"},"c":5}})");
  SelectionIndex selections;
  {
    WorkingState world(state, selections);
    json::Object* d = *world.entity_mut("d");
    world.replace_tags("d", *d, json::Array{"x"});
    EXPECT_EQ(world.select_tagged(state["entities"].as_object(), "x", 32), (std::vector<std::string>{"a", "d"}));
    json::Object* a = *world.entity_mut("a");
    world.replace_tags("a", *a, json::Array{"y"});
    EXPECT_EQ(world.select_tagged(state["entities"].as_object(), "x", 32), (std::vector<std::string>{"d"}));
  }  // not committed: every edit is undone, the index with it
  EXPECT_EQ(indexed(selections.tables(), "x"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(indexed(selections.tables(), "y"), (std::vector<std::string>{}));
}

}  // namespace
}  // namespace kest::ruleset
