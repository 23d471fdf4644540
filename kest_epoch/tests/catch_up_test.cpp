#include <gtest/gtest.h>

#include <vector>

#include "fixtures.hpp"
#include "kest/epoch.hpp"
#include "kest/readers.hpp"

namespace kest::epoch {
namespace {

using testing::doc;
using testing::test_ruleset;

struct CatchUp {
  const char* state;
  std::int64_t current_epoch;
  std::int64_t max_catchup;
  const char* proposals_by_epoch = "null";
  const char* world_id = "w1";
};

Result<CatchUpResult> run(const CatchUp& c) {
  const json::Value proposals_by_epoch = doc(c.proposals_by_epoch);
  return catch_up_epochs({
      .world_id = c.world_id,
      .state = doc(c.state),
      .ruleset = test_ruleset(),
      .proposals_by_epoch = proposals_by_epoch,
      .current_epoch = c.current_epoch,
      .max_catchup = c.max_catchup,
  });
}

std::vector<std::int64_t> epoch_numbers(const CatchUpResult& result) {
  std::vector<std::int64_t> numbers;
  for (const json::Value& event : result.events) numbers.push_back(*json::integer_value(event["epoch_number"]));
  return numbers;
}

TEST(CatchUpEpochs, ResolvesTheEarliestMissedEpochsUpToTheBound) {
  struct Case {
    const char* state;
    std::int64_t current;
    std::int64_t bound;
    std::vector<std::int64_t> resolved;
    std::int64_t voided;
  };
  for (const Case& c : {
           Case{R"({"epoch": 10})", 20, 3, {11, 12, 13}, 7},
           Case{"{}", 3, 5, {1, 2, 3}, 0},
           Case{R"({"epoch": -2})", 1, 5, {-1, 0, 1}, 0},
           Case{R"({"epoch": 2.5})", 2, 5, {1, 2}, 0},
           Case{R"({"epoch": "7"})", 1, -4, {}, 1},
       }) {
    auto result = run({c.state, c.current, c.bound});
    ASSERT_TRUE(result.has_value()) << c.state;
    EXPECT_EQ(epoch_numbers(*result), c.resolved) << c.state;
    EXPECT_EQ(result->epochs_resolved, static_cast<std::int64_t>(c.resolved.size())) << c.state;
    EXPECT_EQ(result->epochs_voided, c.voided) << c.state;
    if (!c.resolved.empty()) {
      EXPECT_EQ(result->state["epoch"], json::Value(c.resolved.back())) << c.state;
    }
  }
}

TEST(CatchUpEpochs, StateComesBackUnchangedWhenNoEpochRuns) {
  struct Case {
    const char* state;
    std::int64_t current;
    std::int64_t bound;
    std::int64_t voided;
  };
  for (const Case& c : {
           Case{R"({"epoch": 10, "x": [1.5]})", 10, 5, 0}, Case{R"({"epoch": 12, "x": [1.5]})", 10, 5, 0},
           Case{R"({"epoch": 10, "x": [1.5]})", 14, 0, 4},
           Case{R"({"epoch": -9223372036854775808})", 1, 5, 0},  // the gap overflows and counts as 0
       }) {
    auto result = run({c.state, c.current, c.bound});
    ASSERT_TRUE(result.has_value()) << c.state;
    EXPECT_EQ(result->state, doc(c.state));
    EXPECT_TRUE(result->events.empty());
    EXPECT_EQ(result->epochs_resolved, 0);
    EXPECT_EQ(result->epochs_voided, c.voided);
  }
}

TEST(CatchUpEpochs, ProposalsAreKeyedByCanonicalDecimal) {
  const char* world = R"({"epoch": 10, "entities": {"a": {"properties": {}, "tags": ["acts_offline"]}}})";
  auto result = run({world, 14, 4, R"({"11": {"a": {"actionId": "rest"}}, "012": {"a": {"actionId": "rest"}},
                                       "+13": {"a": {"actionId": "rest"}}, "14": [{"a": {"actionId": "rest"}}]})"});
  ASSERT_TRUE(result.has_value());
  std::vector<std::size_t> records;
  for (const json::Value& event : result->events) records.push_back(event["actions_processed"].as_array().size());
  EXPECT_EQ(records, (std::vector<std::size_t>{1, 0, 0, 0}));
  EXPECT_EQ(result->state["entities"]["a"]["properties"]["hp"], json::Value(1));
}

TEST(CatchUpEpochs, WorldIdMustBeNfcUnlessNoTickWasDue) {
  constexpr const char* kNonNfc = "e\xCC\x81";
  constexpr const char* kMessage = "world-epoch: non-NFC world_id (normalize to NFC first)";
  EXPECT_EQ(run({R"({"epoch": 3})", 3, 5, "null", kNonNfc}).error(), kMessage);
  EXPECT_EQ(run({R"({"epoch": 3})", 4, 5, "null", kNonNfc}).error(), kMessage);
  EXPECT_TRUE(run({R"({"epoch": 3})", 4, 0, "null", kNonNfc}).has_value());
}

TEST(CatchUpEpochs, MatchesSingleTicksInSequence) {
  const char* world = R"({"entities": {"a": {"properties": {}, "tags": ["acts_offline"]}}})";
  const char* proposals = R"({"1": {"a": {"actionId": "gamble"}}, "2": {"a": {"actionId": "gamble"}}})";
  auto caught_up = run({world, 2, 2, proposals});
  ASSERT_TRUE(caught_up.has_value());

  const json::Value by_epoch = doc(proposals);
  json::Value state = doc(world);
  for (std::int64_t epoch : {1, 2}) {
    auto tick = tick_epoch({.world_id = "w1",
                            .epoch_number = epoch,
                            .state = std::move(state),
                            .proposals = by_epoch[std::to_string(epoch)],
                            .ruleset = test_ruleset()});
    ASSERT_TRUE(tick.has_value());
    EXPECT_EQ(caught_up->events[static_cast<std::size_t>(epoch - 1)], tick->event);
    state = std::move(tick->state);
  }
  EXPECT_EQ(caught_up->state, state);
}

}  // namespace
}  // namespace kest::epoch
