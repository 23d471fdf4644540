#include <gtest/gtest.h>

#include <optional>
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

struct Frame {
  const char* commands;
  std::optional<std::uint64_t> max_commands_per_player = std::nullopt;
  std::optional<std::uint64_t> max_commands = std::nullopt;
  const char* state = R"({"entities": {"e9": {"properties": {"hp": 5}, "tags": []}}})";
};

TickFrameResult run(const Frame& frame) {
  const json::Value commands = doc(frame.commands);
  auto result = tick_frame({
      .world_id = "w1",
      .frame_number = 7,
      .state = doc(frame.state),
      .commands = commands,
      .rules = {.ruleset = test_ruleset(),
                .player_entities = test_players(),
                .max_commands_per_player = frame.max_commands_per_player,
                .max_commands = frame.max_commands},
  });
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error());
  return result ? std::move(*result) : TickFrameResult{};
}

TEST(DeriveFramePrng, DigestOfTheFramedWorldIdAndFrameNumber) {
  struct Case {
    std::string_view world_id;
    std::uint64_t frame;
    std::uint64_t state;
    std::uint64_t inc;
  };
  for (const Case& c : {
           Case{"w1", 7, 11228113899108597382ULL, 2521912832321188679ULL},
           Case{"", 0, 6127960531953111547ULL, 13608505321882715745ULL},
           // A character outside the BMP counts two UTF-16 units in the world id's field.
           Case{"\u00e9\U0001D11E", 9007199254740991, 4557201101598103400ULL, 9801879084505719007ULL},
       }) {
    auto rng = derive_frame_prng(c.world_id, c.frame);
    ASSERT_TRUE(rng.has_value());
    EXPECT_EQ(*rng, math::Pcg32(c.state, c.inc)) << c.world_id;
  }
  EXPECT_EQ(derive_frame_prng("e\u0301", 1).error(), "world-frame: non-NFC world_id (normalize to NFC first)");
}

TEST(ValidateCommands, FirstFailingElementDecides) {
  constexpr const char* kPlayer = "world-frame: every command needs a string playerId";
  constexpr const char* kSeq = "world-frame: every command needs a JS-safe-integer seq";
  struct Case {
    const char* commands;
    const char* message;  // empty when the commands pass
  };
  for (const Case& c : {
           Case{R"([{"playerId": "a", "seq": -9007199254740991}, {"playerId": "", "seq": 0, "actionId": 4}])", ""},
           Case{R"({"playerId": 1})", ""},
           Case{R"("commands")", ""},
           Case{R"([{"playerId": "a", "seq": 1}, {"seq": 1}])", kPlayer},
           Case{R"([{"playerId": "a"}, {"seq": 1}])", kSeq},
           Case{R"([{"seq": "x"}])", kPlayer},
           Case{R"([1])", kPlayer},
           Case{R"([{"playerId": "a", "seq": 2.0}])", kSeq},
           Case{R"([{"playerId": "a", "seq": 9007199254740992}])", kSeq},
           Case{R"([{"playerId": "a", "seq": -9007199254740992}])", kSeq},
           Case{R"([{"playerId": "a", "seq": "1"}])", kSeq},
       }) {
    auto valid = validate_commands(doc(c.commands));
    EXPECT_EQ(valid ? "" : valid.error(), c.message) << c.commands;
  }
  // A caller that skips the check gets its message from the tick, not a crash.
  const json::Value unchecked = doc(R"([{"playerId": "a"}])");
  EXPECT_EQ(tick_frame({.world_id = "w", .commands = unchecked}).error(), kSeq);
}

TEST(TickFrame, CommandsRunByPlayerIdThenSeq) {
  // Unknown actions are recorded with their ids, which shows the order.
  TickFrameResult result = run({R"([
      {"playerId": "b", "seq": 1, "actionId": "b1"}, {"playerId": "10", "seq": 5, "actionId": "10/5"},
      {"playerId": "9", "seq": 0, "actionId": "9/0"}, {"playerId": "10", "seq": 2, "actionId": "10/2 first"},
      {"playerId": "10", "seq": 9, "actionId": "10/9"}, {"playerId": "10", "seq": 2, "actionId": "10/2 second"},
      {"playerId": "10", "seq": -3, "actionId": "10/-3"}])"});
  EXPECT_EQ(records(result.event),
            (std::vector<std::string>{"9:9/0:unknown_action", "10:10/-3:unknown_action", "10:10/2 first:unknown_action",
                                      "10:10/2 second:unknown_action", "10:10/5:unknown_action",
                                      "10:10/9:unknown_action", "b:b1:unknown_action"}));
}

// Commands equal on both keys run in the order they arrived, however many share the keys: a sort
// that keeps that order only for short runs passes the test above but not this one.
TEST(TickFrame, CommandsEqualOnBothKeysKeepTheirInputOrder) {
  for (int group : {17, 40, 200}) {
    std::string commands = "[";
    std::vector<std::string> expected;
    for (int n = 0; n < group; ++n) {
      // Another player's command now and then, arriving before or amid the group.
      if (n % 7 == 3) commands += R"({"playerId": "9", "seq": )" + std::to_string(n) + R"(, "actionId": "other"},)";
      commands += R"({"playerId": "10", "seq": 1, "actionId": ")" + std::to_string(n) + R"("},)";
      expected.push_back("10:" + std::to_string(n) + ":unknown_action");
    }
    commands += R"({"playerId": "10", "seq": 0, "actionId": "first"}])";
    expected.insert(expected.begin(), "10:first:unknown_action");
    std::vector<std::string> in_order = records(run({commands.c_str()}).event);
    std::erase(in_order, "9:other:unknown_action");
    EXPECT_EQ(in_order, expected) << group << " commands";
  }
}

TEST(TickFrame, RecordOfEachOutcome) {
  struct Case {
    const char* command;
    const char* record;
    std::optional<std::uint64_t> max_commands_per_player = std::nullopt;
  };
  for (const Case& c : {
           Case{R"({"seq": 0, "playerId": "9", "actionId": "strike", "targetId": "e9"})",
                R"({"action_id":"strike","actor_id":"e9","degree":"success","mutations_applied":)"
                R"([{"next":2,"op":"sub_prop","previous":5,"property":"hp","target":"e9"}],"player_id":"9"})"},
           Case{R"({"seq": 0, "playerId": "10", "actionId": "rest"})",
                R"({"action_id":"rest","actor_id":"e10","degree":"none","mutations_applied":)"
                R"([{"next":1,"op":"add_prop","previous":0,"property":"hp","target":"e10"}],"player_id":"10"})"},
           Case{R"({"seq": 0, "playerId": "x", "actionId": "rest"})",
                R"({"action_id":"","player_id":"x","reason":"unknown_player"})"},
           Case{R"({"seq": 0, "playerId": "blank", "actionId": "rest"})",
                R"({"action_id":"","player_id":"blank","reason":"unknown_player"})"},
           Case{R"({"seq": 0, "playerId": "number", "actionId": "rest"})",
                R"({"action_id":"","player_id":"number","reason":"unknown_player"})"},
           Case{R"({"seq": 0, "playerId": "9", "actionId": "rest"})",
                R"({"action_id":"rest","player_id":"9","reason":"rate_limited"})", 0},
           Case{R"({"seq": 0, "playerId": "9", "actionId": ""})",
                R"({"action_id":"","player_id":"9","reason":"rate_limited"})", 0},
           Case{R"({"seq": 0, "playerId": "9", "actionId": 5})",
                R"({"action_id":"","player_id":"9","reason":"rate_limited"})", 0},
           Case{R"({"seq": 0, "playerId": "9"})", R"({"action_id":"","player_id":"9","reason":"malformed_command"})"},
           Case{R"({"seq": 0, "playerId": "9", "actionId": ""})",
                R"({"action_id":"","player_id":"9","reason":"malformed_command"})"},
           Case{R"({"seq": 0, "playerId": "9", "actionId": ["rest"]})",
                R"({"action_id":"","player_id":"9","reason":"malformed_command"})"},
           Case{R"({"seq": 0, "playerId": "9", "actionId": "nope"})",
                R"({"action_id":"nope","player_id":"9","reason":"unknown_action"})"},
           Case{R"({"seq": 0, "playerId": "9", "actionId": "odd"})",
                R"({"action_id":"odd","player_id":"9","reason":"invalid_action"})"},
           Case{R"({"seq": 0, "playerId": "9", "actionId": "bare"})",
                R"({"action_id":"bare","player_id":"9","reason":"invalid_action"})"},
           Case{R"({"seq": 0, "playerId": "9", "actionId": "broken"})",
                R"({"action_id":"broken","player_id":"9","reason":"invalid_action"})"},
           // A target that is not a string is no target.
           Case{R"({"seq": 0, "playerId": "9", "actionId": "strike", "targetId": 3})",
                R"({"action_id":"strike","player_id":"9","reason":"eval_error"})"},
       }) {
    TickFrameResult result = run({.commands = ("[" + std::string(c.command) + "]").c_str(),
                                  .max_commands_per_player = c.max_commands_per_player});
    ASSERT_EQ(result.event["commands_processed"].as_array().size(), 1U) << c.command;
    EXPECT_EQ(json::write(result.event["commands_processed"].as_array()[0]), c.record);
    const bool resolved = std::string_view(c.record).find("\"degree\"") != std::string_view::npos;
    EXPECT_EQ(result.resolved, resolved ? 1U : 0U) << c.command;
    EXPECT_EQ(result.rejected, resolved ? 0U : 1U) << c.command;
  }
}

TEST(TickFrame, Caps) {
  struct Case {
    const char* commands;
    std::optional<std::uint64_t> max_commands_per_player;
    std::optional<std::uint64_t> max_commands;
    std::vector<std::string> expected;
  };
  for (const Case& c : {
           // The per-frame cap stops at the first command after enough have resolved; rejected
           // commands never use it up.
           Case{R"([{"playerId": "x", "seq": 0}, {"playerId": "9", "seq": 1, "actionId": "rest"},
                   {"playerId": "10", "seq": 0, "actionId": "rest"}, {"playerId": "b", "seq": 0, "actionId": "rest"}])",
                std::nullopt,
                2,
                {"9:rest:none", "10:rest:none"}},
           Case{R"([{"playerId": "x", "seq": 0}, {"playerId": "9", "seq": 1, "actionId": "nope"},
                   {"playerId": "10", "seq": 0, "actionId": "rest"}])",
                std::nullopt,
                0,
                {}},
           // Every command past the rate limit counts, whether it runs or is rejected.
           Case{R"([{"playerId": "9", "seq": 3, "actionId": "rest"}, {"playerId": "9", "seq": 1},
                   {"playerId": "9", "seq": 2, "actionId": "nope"}, {"playerId": "10", "seq": 0, "actionId": "rest"}])",
                1,
                std::nullopt,
                {"9::malformed_command", "9:nope:rate_limited", "9:rest:rate_limited", "10:rest:none"}},
           Case{R"([{"playerId": "9", "seq": 1, "actionId": "nope"}, {"playerId": "9", "seq": 2, "actionId": "odd"},
                   {"playerId": "9", "seq": 3, "actionId": "rest"}])",
                2,
                std::nullopt,
                {"9:nope:unknown_action", "9:odd:invalid_action", "9:rest:rate_limited"}},
           Case{R"([{"playerId": "x", "seq": 0, "actionId": "rest"}, {"playerId": "x", "seq": 1, "actionId": "rest"},
                   {"playerId": "9", "seq": 0, "actionId": "rest"}])",
                0,
                std::nullopt,
                {"9:rest:rate_limited", "x::unknown_player", "x::unknown_player"}},
       }) {
    TickFrameResult result = run({c.commands, c.max_commands_per_player, c.max_commands});
    EXPECT_EQ(records(result.event), c.expected) << c.commands;
    EXPECT_EQ(result.resolved + result.rejected, c.expected.size());
  }
}

TEST(TickFrame, FailedCommandConsumesNoDraws) {
  TickFrameResult with_failures = run({R"([{"playerId": "9", "seq": 0, "actionId": "reckless"},
      {"playerId": "9", "seq": 1, "actionId": "strike"}, {"playerId": "10", "seq": 0, "actionId": "gamble"}])"});
  TickFrameResult alone = run({R"([{"playerId": "10", "seq": 0, "actionId": "gamble"}])"});
  EXPECT_EQ(records(with_failures.event),
            (std::vector<std::string>{"9:reckless:eval_error", "9:strike:eval_error", "10:gamble:none"}));
  EXPECT_EQ(with_failures.state, alone.state);
  EXPECT_EQ(with_failures.event["pcg_steps_consumed"], json::Value(1));
  EXPECT_EQ(with_failures.event["commands_processed"].as_array()[2], alone.event["commands_processed"].as_array()[0]);
}

TEST(TickFrame, StampsTheFrameOnAnyState) {
  struct Case {
    const char* state;
    const char* expected;
  };
  for (const Case& c : {
           Case{"null", R"({"frame":7})"},
           Case{"[1, 2]", R"({"frame":7})"},
           Case{"12", R"({"frame":7})"},
           // The state is no signed document: floats and strings not in NFC pass through.
           Case{R"({"frame": "old", "b": 1.5, "a": "e\u0301"})", "{\"a\":\"e\xcc\x81\",\"b\":1.5,\"frame\":7}"},
       }) {
    TickFrameResult result = run({.commands = "null", .state = c.state});
    EXPECT_EQ(json::write(result.state), c.expected) << c.state;
    EXPECT_EQ(json::write(result.event),
              R"({"commands_processed":[],"event_type":"FrameResolved","frame_number":7,"pcg_steps_consumed":0})");
  }
}

}  // namespace
}  // namespace kest::frame
