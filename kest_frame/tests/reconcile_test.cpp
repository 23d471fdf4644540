#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.hpp"
#include "kest/frame.hpp"

namespace kest::frame {
namespace {

using testing::doc;
using testing::records;
using testing::test_players;
using testing::test_ruleset;

constexpr const char* kCorrected = R"({"frame": 10, "entities": {"e9": {"properties": {"hp": 20}, "tags": []}}})";

// Draws in every frame, and a failed command in frame 12.
constexpr const char* kCommandsByFrame = R"({
  "11": [{"playerId": "10", "seq": 0, "actionId": "gamble"}, {"playerId": "9", "seq": 0, "actionId": "strike",
          "targetId": "e9"}],
  "12": [{"playerId": "9", "seq": 0, "actionId": "reckless"}, {"playerId": "9", "seq": 1, "actionId": "gamble"}],
  "13": [{"playerId": "10", "seq": 0, "actionId": "strike", "targetId": "e9"}],
  "011": [{"seq": 0}], "9999": [{"seq": 0}]
})";

FrameRules rules() { return {.ruleset = test_ruleset(), .player_entities = test_players()}; }

Result<ReconcileResult> reconcile(const char* corrected, const json::Value& commands_by_frame, std::uint64_t to_frame,
                                  std::string_view world_id = "w1") {
  return reconcile_frames({
      .world_id = world_id,
      .corrected_state = doc(corrected),
      .commands_by_frame = commands_by_frame,
      .to_frame = to_frame,
      .rules = rules(),
  });
}

TEST(ReconcileFrames, ReplayEqualsSuccessiveServerTicks) {
  const json::Value commands_by_frame = doc(kCommandsByFrame);
  auto replayed = reconcile(kCorrected, commands_by_frame, 13);
  ASSERT_TRUE(replayed.has_value()) << replayed.error();
  EXPECT_EQ(replayed->frames_replayed, 3U);

  json::Value state = doc(kCorrected);
  json::Array events;
  for (std::uint64_t frame = 11; frame <= 13; ++frame) {
    auto tick = tick_frame({
        .world_id = "w1",
        .frame_number = frame,
        .state = std::move(state),
        .commands = commands_by_frame[std::to_string(frame)],
        .rules = rules(),
    });
    ASSERT_TRUE(tick.has_value());
    state = std::move(tick->state);
    events.push_back(std::move(tick->event));
  }
  EXPECT_EQ(replayed->state, state);
  EXPECT_EQ(replayed->events, events);
  EXPECT_EQ(records(replayed->events[1]), (std::vector<std::string>{"9:reckless:eval_error", "9:gamble:none"}));
  EXPECT_EQ(replayed->state["frame"], json::Value(13));
}

TEST(ReconcileFrames, NothingToReplayReturnsTheCorrectedStateUnchanged) {
  const json::Value none;
  const char* corrected = R"({"frame": 10, "b": 2.5})";
  auto replayed = reconcile(corrected, none, 10);
  ASSERT_TRUE(replayed.has_value());
  EXPECT_EQ(replayed->state, doc(corrected));
  EXPECT_TRUE(replayed->events.empty());
  EXPECT_EQ(replayed->frames_replayed, 0U);
  EXPECT_EQ(reconcile(corrected, none, 10, "e\u0301").error(),
            "world-frame: non-NFC world_id (normalize to NFC first)");
}

TEST(ReconcileFrames, FramesWithoutCommandsStillTick) {
  // A corrected state without a valid frame number counts as frame 0.
  const json::Value none;
  auto replayed = reconcile(R"({"frame": -4})", none, 2);
  ASSERT_TRUE(replayed.has_value());
  EXPECT_EQ(json::write(replayed->state), R"({"frame":2})");
  ASSERT_EQ(replayed->events.size(), 2U);
  EXPECT_EQ(json::write(replayed->events[0]),
            R"({"commands_processed":[],"event_type":"FrameResolved","frame_number":1,"pcg_steps_consumed":0})");
}

TEST(ReconcileFrames, ABadCommandInTheWindowFailsTheWholeCall) {
  const json::Value commands_by_frame = doc(R"({"11": [{"playerId": "9", "seq": 0}], "12": [{"seq": 1}]})");
  EXPECT_EQ(reconcile(kCorrected, commands_by_frame, 11).value().frames_replayed, 1U);
  EXPECT_EQ(reconcile(kCorrected, commands_by_frame, 12).error(), "world-frame: every command needs a string playerId");
}

TEST(FramesToReplay, WindowBounds) {
  EXPECT_EQ(frames_to_replay(10, 4106).value(), 4096U);
  EXPECT_EQ(frames_to_replay(0, 0).value(), 0U);
  EXPECT_EQ(frames_to_replay(10, 4107).error(), "world-frame: reconcile window exceeds the bound");
  EXPECT_EQ(frames_to_replay(10, 9).error(), "world-frame: toFrame must be >= correctedState.frame");
  const json::Value none;
  EXPECT_EQ(reconcile(kCorrected, none, 4107).error(), "world-frame: reconcile window exceeds the bound");
}

}  // namespace
}  // namespace kest::frame
