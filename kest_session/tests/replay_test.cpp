#include <gtest/gtest.h>

#include "bundles.hpp"
#include "kest/session.hpp"
#include "replay.hpp"

namespace kest::session {
namespace {

using testing::doc;

// One "EpochResolved" payload holding the given applied mutations in one action.
json::Value payload_with(std::string_view mutations) {
  return doc(R"({"event_type": "EpochResolved", "epoch_number": 4, "actions_processed": [
    {"action_id": "a", "actor_id": "1", "degree": "none", "mutations_applied": )" +
             std::string(mutations) + "}]}");
}

TEST(ReplayEpochEvent, AppliesRecordedMutationsAndSkipsWhatItCannot) {
  struct Case {
    const char* name;
    const char* state;
    const char* mutations;
    const char* expected;
  };
  for (const Case& c : {
           Case{"add_tag normalises", R"({"entities": {"x": {"tags": ["c", "a", "c", 5]}}})",
                R"([{"op": "add_tag", "target": "x", "tag": "b"}])",
                R"({"entities": {"x": {"tags": ["a", "b", "c"]}}})"},
           Case{"add_tag of a present tag", R"({"entities": {"x": {"tags": ["a"]}}})",
                R"([{"op": "add_tag", "target": "x", "tag": "a"}])", R"({"entities": {"x": {"tags": ["a"]}}})"},
           Case{"add_tag to non-array tags", R"({"entities": {"x": {"tags": {"k": "a"}}}})",
                R"([{"op": "add_tag", "target": "x", "tag": "b"}])", R"({"entities": {"x": {"tags": ["b"]}}})"},
           Case{"remove_tag keeps order", R"({"entities": {"x": {"tags": ["c", "a", "b", "a", 1]}}})",
                R"([{"op": "remove_tag", "target": "x", "tag": "a"}])",
                R"({"entities": {"x": {"tags": ["c", "b", 1]}}})"},
           Case{"remove_tag without tags", R"({"entities": {"x": {}}})",
                R"([{"op": "remove_tag", "target": "x", "tag": "a"}])", R"({"entities": {"x": {}}})"},
           Case{"next as recorded", R"({"entities": {"x": {"properties": {"hp": 1}}}})",
                R"([{"op": "sub_prop", "target": "x", "property": "hp", "previous": 99, "next": 9007199254740993}])",
                R"({"entities": {"x": {"properties": {"hp": 9007199254740993}}}})"},
           Case{"null next", R"({"entities": {"x": {"properties": {"hp": 1}}}})",
                R"([{"op": "add_prop", "target": "x", "property": "hp", "next": null}])",
                R"({"entities": {"x": {"properties": {"hp": null}}}})"},
           Case{"missing entity created though skipped", R"({"entities": {}})",
                R"([{"op": "set_prop", "target": "n"}, {"op": "add_tag", "target": "m", "tag": 1}])",
                R"({"entities": {"m": {"properties": {}, "tags": []}, "n": {"properties": {}, "tags": []}}})"},
           Case{"missing entities created", R"({})",
                R"([{"op": "set_prop", "target": "n", "property": "p", "next": 2}])",
                R"({"entities": {"n": {"properties": {"p": 2}, "tags": []}}})"},
           Case{"numeric target skipped", R"({"entities": {}})", R"([{"op": "set_prop", "target": 3}])",
                R"({"entities": {}})"},
           Case{"non-object entity or properties skipped", R"({"entities": {"x": [], "y": {"properties": 1}}})",
                R"([{"op": "set_prop", "target": "x", "property": "p", "next": 1},
                    {"op": "set_prop", "target": "y", "property": "p", "next": 1}])",
                R"({"entities": {"x": [], "y": {"properties": 1}}})"},
           Case{"non-object records skipped", R"({"entities": {}})", R"([5, null, []])", R"({"entities": {}})"},
           Case{"non-object entities skipped", R"({"entities": 5})",
                R"([{"op": "set_prop", "target": "x", "property": "p", "next": 1}])", R"({"entities": 5})"},
       }) {
    json::Value expected = doc(c.expected);
    expected.as_object().insert_or_assign("epoch", 4);
    EXPECT_EQ(json::write(replay_epoch_event(doc(c.state), payload_with(c.mutations))), json::write(expected))
        << c.name;
  }
}

TEST(ReplayEpochEvent, OnlyEpochNumberChangesWithoutActions) {
  struct Case {
    const char* state;
    const char* payload;
    const char* expected;
  };
  for (const Case& c : {
           Case{R"({"entities": {}, "epoch": 1})", R"({"epoch_number": 7})", R"({"entities":{},"epoch":7})"},
           Case{R"({"entities": {}, "epoch": 1})", R"({"epoch_number": "seven"})",
                R"({"entities":{},"epoch":"seven"})"},
           Case{R"({"entities": {"x": {}}, "epoch": 1})", R"({"event_type": "Other"})",
                R"({"entities":{"x":{}},"epoch":1})"},
           Case{R"({"epoch": 1})", R"({"actions_processed": {}})", R"({"epoch":1})"},
           Case{R"({"epoch": 1})", R"([{"epoch_number": 2}])", R"({"epoch":1})"},
           // Not even "epoch" is set on a state that is no object.
           Case{"[1]", R"({"epoch_number": 2, "actions_processed": [{"mutations_applied": [
                {"op": "set_prop", "target": "a", "property": "p", "next": 1}]}]})",
                "[1]"},
           Case{"null", R"({"epoch_number": 2})", "null"},
       }) {
    EXPECT_EQ(json::write(replay_epoch_event(doc(c.state), doc(c.payload))), c.expected) << c.payload;
  }
}

// Only the two tag operations are told apart by their name; a record of any other op (one a newer
// engine or a sibling applies, a number, none at all) writes its "next" to its "property", so that
// signed records of engines with more operations still resume.
TEST(ReplayEpochEvent, AnyOtherOpWritesTheRecordedNext) {
  struct Case {
    const char* name;
    const char* mutations;
    const char* expected;
  };
  for (const Case& c : {
           Case{"unknown name", R"([{"op": "teleport", "target": "x", "property": "hp", "previous": 1, "next": 2}])",
                R"({"entities": {"x": {"properties": {"hp": 2}, "tags": ["a"]}}})"},
           Case{"name of another case",
                R"([{"op": "ADD_TAG", "target": "x", "tag": "b", "property": "hp", "next": 3}])",
                R"({"entities": {"x": {"properties": {"hp": 3}, "tags": ["a"]}}})"},
           Case{"rule node type", R"([{"op": "if", "target": "x", "property": "hp", "next": 4}])",
                R"({"entities": {"x": {"properties": {"hp": 4}, "tags": ["a"]}}})"},
           Case{"empty name", R"([{"op": "", "target": "x", "property": "mp", "next": 5}])",
                R"({"entities": {"x": {"properties": {"hp": 1, "mp": 5}, "tags": ["a"]}}})"},
           Case{"numeric op", R"([{"op": 5, "target": "x", "property": "mp", "next": 4}])",
                R"({"entities": {"x": {"properties": {"hp": 1, "mp": 4}, "tags": ["a"]}}})"},
           Case{"object op", R"([{"op": {"name": "add_tag"}, "target": "x", "tag": "b", "property": "hp", "next": 0}])",
                R"({"entities": {"x": {"properties": {"hp": 0}, "tags": ["a"]}}})"},
           Case{"missing op", R"([{"target": "x", "property": "hp", "next": -7}])",
                R"({"entities": {"x": {"properties": {"hp": -7}, "tags": ["a"]}}})"},
           Case{"null next", R"([{"op": "teleport", "target": "x", "property": "hp", "next": null}])",
                R"({"entities": {"x": {"properties": {"hp": null}, "tags": ["a"]}}})"},
           Case{"any value next", R"([{"op": "grow", "target": "x", "property": "hp", "next": {"k": [1, "v"]}}])",
                R"({"entities": {"x": {"properties": {"hp": {"k": [1, "v"]}}, "tags": ["a"]}}})"},
           Case{"missing next", R"([{"op": "teleport", "target": "x", "property": "hp", "previous": 1}])",
                R"({"entities": {"x": {"properties": {"hp": 1}, "tags": ["a"]}}})"},
           Case{"missing property", R"([{"op": "teleport", "target": "x", "tag": "b", "next": 9}])",
                R"({"entities": {"x": {"properties": {"hp": 1}, "tags": ["a"]}}})"},
           Case{
               "unknown op creates its target", R"([{"op": "teleport", "target": "y"}])",
               R"({"entities": {"x": {"properties": {"hp": 1}, "tags": ["a"]}, "y": {"properties": {}, "tags": []}}})"},
           Case{"non-string target skipped first", R"([{"op": "teleport", "target": 3, "property": "hp", "next": 2},
                    {"op": 7, "target": null, "property": "hp", "next": 2}, {"target": ["x"], "property": "hp", "next": 2}])",
                R"({"entities": {"x": {"properties": {"hp": 1}, "tags": ["a"]}}})"},
           Case{"later records still apply", R"([{"op": "teleport", "target": "x", "property": "hp", "next": 2},
                    {"op": "add_tag", "target": "x", "tag": "b"}, {"op": "set_prop", "target": "x", "property": "hp", "next": 6}])",
                R"({"entities": {"x": {"properties": {"hp": 6}, "tags": ["a", "b"]}}})"},
       }) {
    json::Value expected = doc(c.expected);
    expected.as_object().insert_or_assign("epoch", 4);
    EXPECT_EQ(json::write(replay_epoch_event(doc(R"({"entities": {"x": {"properties": {"hp": 1}, "tags": ["a"]}}})"),
                                             payload_with(c.mutations))),
              json::write(expected))
        << c.name;
  }
}

// A tail replayed on one state holds the entities it creates aside until the end; it must give
// what replaying record by record gives, where each creation is inserted at once.
TEST(TailReplay, CreatesWhatRecordByRecordReplayCreates) {
  const char* payloads[] = {
      R"([{"op": "set_prop", "target": "m", "property": "hp", "next": 1}, {"op": "add_tag", "target": "0", "tag": "t"}])",
      R"([{"op": "sub_prop", "target": "m", "property": "hp", "next": 0}, {"op": "remove_tag", "target": "\uE000"}])",
      R"([{"op": "add_tag", "target": "\uD83D\uDE00", "tag": "t"}, {"op": "add_tag", "target": "a", "tag": "u"}])",
  };
  for (const char* start : {R"({"entities": {"a": {"tags": []}, "z": {}}})", R"({"epoch": 3})", R"({"entities": 1})"}) {
    json::Value one_by_one = doc(start);
    TailReplay tail(doc(start));
    for (const char* mutations : payloads) {
      one_by_one = replay_epoch_event(std::move(one_by_one), payload_with(mutations));
      tail.replay(payload_with(mutations));
    }
    EXPECT_EQ(json::write(std::move(tail).finish()), json::write(one_by_one)) << start;
  }
}

TEST(ReplayEpochEvent, ReproducesTheLiveResolution) {
  testing::LiveChain chain = testing::live_chain(6);
  json::Value state = chain.states.front();
  for (const events::ChainedRecord& record : chain.records)
    state = replay_epoch_event(std::move(state), record.payload);
  EXPECT_EQ(json::write(state), json::write(chain.states.back()));
}

}  // namespace
}  // namespace kest::session
