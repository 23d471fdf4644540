#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.hpp"
#include "kest/epoch.hpp"

namespace kest::epoch {
namespace {

using testing::doc;
using testing::test_ruleset;

struct Tick {
  const char* state;
  const char* proposals = "{}";
  std::vector<std::string> actor_tags = {};
  std::optional<std::uint64_t> max_actions = std::nullopt;
  std::int64_t epoch = 4;
};

TickEpochResult run(const Tick& tick) {
  const json::Value proposals = doc(tick.proposals);
  auto result = tick_epoch({
      .world_id = "w1",
      .epoch_number = tick.epoch,
      .state = doc(tick.state),
      .proposals = proposals,
      .ruleset = test_ruleset(),
      .actor_tags = tick.actor_tags,
      .max_actions = tick.max_actions,
  });
  EXPECT_TRUE(result.has_value());
  return result ? std::move(*result) : TickEpochResult{};
}

// "actor:action:degree-or-reason" for each record, in processing order.
std::vector<std::string> records(const TickEpochResult& result) {
  std::vector<std::string> lines;
  for (const json::Value& record : result.event["actions_processed"].as_array()) {
    const json::Value& outcome = record.find("degree") ? record["degree"] : record["reason"];
    lines.push_back(record["actor_id"].as_string() + ":" + record["action_id"].as_string() + ":" + outcome.as_string());
  }
  return lines;
}

constexpr const char* kFourActors = R"({"entities": {
  "10": {"properties": {}, "tags": ["acts_offline"]}, "9": {"properties": {}, "tags": ["acts_offline"]},
  "b": {"properties": {}, "tags": ["acts_offline"]}, "a": {"properties": {}, "tags": ["x", "acts_offline"]}, "c": {"properties": {}, "tags": ["idle"]}}})";

TEST(TickEpoch, ActorsRunInIdOrder) {
  TickEpochResult result =
      run({kFourActors, R"({"a": {"actionId": "rest"}, "b": {"actionId": "rest"}, "9": {"actionId": "rest"},
                            "10": {"actionId": "rest"}, "c": {"actionId": "rest"}})"});
  EXPECT_EQ(records(result), (std::vector<std::string>{"9:rest:none", "10:rest:none", "a:rest:none", "b:rest:none"}));
  EXPECT_EQ(result.resolved, 4U);
  EXPECT_EQ(result.rejected, 0U);
}

TEST(TickEpoch, RecordsEveryRejectionReason) {
  // "c" is no actor.
  TickEpochResult result = run({kFourActors, R"({
      "9": {"actionId": ""}, "10": {"actionId": "nope", "targetId": "a"}, "c": {"actionId": "rest"},
      "a": {"actionId": "odd"}, "b": {"actionId": "strike", "targetId": 3}})"});
  EXPECT_EQ(records(result), (std::vector<std::string>{"9::malformed_proposal", "10:nope:unknown_action",
                                                       "a:odd:invalid_action", "b:strike:eval_error"}));
  EXPECT_EQ(result.rejected, 4U);
  EXPECT_EQ(result.event["actions_processed"].as_array()[0],
            doc(R"({"action_id": "", "actor_id": "9", "reason": "malformed_proposal"})"));
}

TEST(TickEpoch, CapCountsResolvedProposalsOnly) {
  const char* proposals = R"({"9": {"actionId": "broken"}, "10": {"actionId": "rest"}, "a": {"actionId": "rest"}})";
  EXPECT_EQ(records(run({kFourActors, proposals, {}, 1})),
            (std::vector<std::string>{"9:broken:invalid_action", "10:rest:none"}));
  TickEpochResult none = run({kFourActors, proposals, {}, 0});
  EXPECT_TRUE(records(none).empty());
  EXPECT_EQ(none.rejected, 0U);
}

TEST(TickEpoch, ActorTags) {
  struct Case {
    std::vector<std::string> tags;
    std::vector<std::string> expected;
  };
  const char* proposals =
      R"({"9": {"actionId": "rest"}, "10": "rest", "a": {"actionId": "rest"}, "c": {"actionId": "rest"}})";
  for (const Case& c : {
           Case{{}, {"9:rest:none", "a:rest:none"}},
           Case{{"idle"}, {"c:rest:none"}},
           Case{{"x", "idle", "x"}, {"a:rest:none", "c:rest:none"}},
       }) {
    EXPECT_EQ(records(run({kFourActors, proposals, c.tags})), c.expected);
  }
}

TEST(TickEpoch, ActorListIsFixedBeforeActionsRun) {
  TickEpochResult result =
      run({R"({"entities": {"a": {"properties": {}, "tags": ["acts_offline"]}, "z": {"properties": {}, "tags": []}}})",
           R"({"a": {"actionId": "recruit", "targetId": "z"}, "z": {"actionId": "rest"}})"});
  EXPECT_EQ(records(result), (std::vector<std::string>{"a:recruit:none"}));
  EXPECT_EQ(result.state["entities"]["z"]["tags"], doc(R"(["acts_offline"])"));
}

TEST(TickEpoch, FailedActionConsumesNoDraws) {
  const char* world =
      R"({"entities": {"a": {"properties": {}, "tags": ["acts_offline"]}, "b": {"properties": {}, "tags": ["acts_offline"]}}})";
  TickEpochResult with_failure = run({world, R"({"a": {"actionId": "reckless"}, "b": {"actionId": "gamble"}})"});
  TickEpochResult alone = run({world, R"({"b": {"actionId": "gamble"}})"});
  EXPECT_EQ(records(with_failure), (std::vector<std::string>{"a:reckless:eval_error", "b:gamble:none"}));
  EXPECT_EQ(with_failure.state, alone.state);
  EXPECT_EQ(with_failure.event["pcg_steps_consumed"], alone.event["pcg_steps_consumed"]);
  EXPECT_EQ(with_failure.state["entities"]["a"]["properties"], json::Value(json::Object()));
}

TEST(TickEpoch, ResolvedRecordAndEvent) {
  TickEpochResult result = run({R"({"entities": {"a": {"properties": {"hp": 5}, "tags": ["acts_offline"]}}})",
                                R"({"a": {"actionId": "strike", "targetId": "a"}})"});
  EXPECT_EQ(json::write(result.event),
            R"({"actions_processed":[{"action_id":"strike","actor_id":"a","degree":"success","mutations_applied":)"
            R"([{"next":2,"op":"sub_prop","previous":5,"property":"hp","target":"a"}]}],"epoch_number":4,)"
            R"("event_type":"EpochResolved","pcg_steps_consumed":1})");
}

TEST(TickEpoch, StampsTheEpochOnAnyState) {
  struct Case {
    const char* state;
    std::int64_t epoch;
    const char* expected;
  };
  for (const Case& c : {
           Case{"null", 4, R"({"epoch":4})"},
           Case{"[1, 2]", -3, R"({"epoch":-3})"},
           Case{R"({"epoch": 99, "entities": {}, "extra": 1.5})", 4, R"({"entities":{},"epoch":4,"extra":1.5})"},
       }) {
    TickEpochResult result = run({.state = c.state, .epoch = c.epoch});
    EXPECT_EQ(json::write(result.state), c.expected) << c.state;
    EXPECT_EQ(result.event["pcg_steps_consumed"], json::Value(0));
  }
}

}  // namespace
}  // namespace kest::epoch
