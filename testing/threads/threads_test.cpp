// Every library's entry points called from several threads at once, on inputs that all threads
// share and only read, give what they give on one thread. Built under ThreadSanitizer (`make
// tsan`), any state two calls share and one of them writes shows up as a data race.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "bundles.hpp"
#include "kest/chain.hpp"
#include "kest/combat.hpp"
#include "kest/digest_generator.hpp"
#include "kest/epoch.hpp"
#include "kest/frame.hpp"
#include "kest/ids.hpp"
#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/ruleset.hpp"
#include "kest/session.hpp"
#include "kest/snapshot.hpp"
#include "kest/utf8.hpp"

namespace kest {
namespace {

using session::testing::kKey;
using session::testing::kWorldId;
using test_support::doc;

constexpr std::size_t kThreads = 4;
constexpr std::size_t kRounds = 3;

// One call of an entry point, its outcome written as text so that outcomes compare.
struct Call {
  std::string name;
  std::function<std::string()> run;
};

std::string shown(const json::Value& value) { return json::write(value); }
std::string shown(const std::string& text) { return text; }
std::string shown(bool answer) { return answer ? "true" : "false"; }
std::string shown(events::CanonError error) { return std::string(events::canon_error_name(error)); }
template <class T>
requires std::is_integral_v<T> std::string shown(T number) { return std::to_string(number); }
std::string shown(const math::Pcg32& rng) { return shown(rng.state()) + "/" + shown(rng.inc()); }
std::string shown(const epoch::TickResult& tick) {
  return shown(tick.state) + shown(tick.event) + shown(tick.resolved) + shown(tick.rejected);
}
template <class T, class E>
std::string shown(const std::expected<T, E>& result) {
  if (!result) return "error: " + shown(result.error());
  if constexpr (std::is_void_v<T>) {
    return "ok";
  } else {
    return shown(*result);
  }
}

// The inputs every thread reads: built once, before any thread starts, and never changed.
struct Shared {
  std::string world_text = R"({"entities":{"1":{"properties":{"hp":10},"tags":["acts_offline"]},)"
                           R"("2":{"properties":{"hp":10},"tags":["acts_offline"]},)"
                           R"("3":{"properties":{"hp":30},"tags":["npc","Zoë"]}},"epoch":0,"frame":0})";
  json::Value world = doc(world_text);
  json::Value check = doc(R"({"type": "check", "roll": {"type": "dice", "equation": "1d20+2"},
    "dc": {"type": "literal", "value": 11},
    "degrees": {"success": {"condition": {"type": "delta_gte", "value": 0}, "mutations": [
      {"type": "sub_prop", "target": "target", "property": "hp", "value": {"type": "dice", "equation": "2d6"}}]},
    "failure": {"condition": {"type": "delta_lte", "value": -1}, "mutations": []}}})");
  json::Value mutations = doc(R"([{"type": "foreach_target", "select": {"tag": "acts_offline", "limit": 4},
    "mutations": [{"type": "add_tag", "target": "each", "tag": "blessed"}]}])");
  json::Value proposals = session::testing::proposals_for(2);
  json::Value proposals_by_epoch = json::Object{{"1", session::testing::proposals_for(1)},
                                                {"2", session::testing::proposals_for(2)},
                                                {"3", session::testing::proposals_for(3)}};
  json::Value players = json::Object{{"p1", "1"}, {"p2", "2"}};
  json::Value commands = doc(R"([{"playerId": "p2", "seq": 1, "actionId": "strike", "targetId": "3"},
    {"playerId": "p1", "seq": 1, "actionId": "gamble"}, {"playerId": "p9", "seq": 0, "actionId": "gamble"}])");
  json::Value commands_by_frame = json::Object{{"1", commands}, {"2", commands}};
  session::testing::LiveChain chain = session::testing::live_chain(4);
  json::Value bundle = session::testing::suspend(chain, 2);
  events::ChainSeal seal{.head = chain.records.back().sig,
                         .sig = events::hmac_sha256_hex_bytes(
                             kKey, events::seal_message(chain.records.size(), chain.records.back().sig).value()),
                         .count = chain.records.size()};
  std::string tick_text = json::write(json::Object{{"worldId", kWorldId},
                                                   {"epochNumber", 1},
                                                   {"state", world},
                                                   {"proposals", proposals},
                                                   {"ruleset", session::testing::test_ruleset()}});
  std::string catch_up_text = json::write(json::Object{{"worldId", kWorldId},
                                                       {"state", world},
                                                       {"currentEpoch", 3},
                                                       {"maxCatchup", 2},
                                                       {"proposalsByEpoch", proposals_by_epoch},
                                                       {"ruleset", session::testing::test_ruleset()}});
  std::string frame_text = json::write(json::Object{{"worldId", kWorldId},
                                                    {"frameNumber", 1},
                                                    {"state", world},
                                                    {"commands", commands},
                                                    {"ruleset", session::testing::test_ruleset()},
                                                    {"playerEntities", players}});
  std::string reconcile_text = json::write(json::Object{{"worldId", kWorldId},
                                                        {"correctedState", world},
                                                        {"commandsByFrame", commands_by_frame},
                                                        {"toFrame", 2},
                                                        {"ruleset", session::testing::test_ruleset()},
                                                        {"playerEntities", players}});
  std::string resume_text = json::write(json::Object{{"key", kKey},
                                                     {"bundle", bundle},
                                                     {"currentEpoch", 6},
                                                     {"maxCatchup", 1},
                                                     {"proposalsByEpoch", proposals_by_epoch},
                                                     {"ruleset", session::testing::test_ruleset()}});
};

const Shared& shared() {
  static const Shared inputs;
  return inputs;
}

std::vector<Call> json_calls(const Shared& s) {
  return {
      {"parse", [&] { return shown(json::parse(s.world_text)); }},
      {"parse refuses", [&] { return shown(json::parse(R"({"a": [1, 2)")); }},
      {"write", [&] { return json::write(s.world); }},
      {"write_string",
       [&] {
         std::string out;
         json::write_string(out, "Zoë\n\x01");
         return out;
       }},
      {"utf8",
       [&] {
         return shown(json::utf16_length("Zoë😀")) + shown(json::compare_utf16("\uFFFF", "😀")) +
                shown(json::is_ascii(s.world_text));
       }},
  };
}

std::vector<Call> math_calls(const Shared&) {
  return {
      {"generator",
       [] {
         math::Pcg32 rng = math::Pcg32::seeded(42);
         return shown(rng.next()) + shown(rng.roll_die(20)) + shown(rng);
       }},
      {"dice",
       [] { return shown(math::roll_die(7, 20)) + shown(math::roll_dice(7, 100, 6)) + shown(math::pcg32_next(7)); }},
      {"floor_div", [] { return shown(math::floor_div(-7, 2)) + shown(math::floor_div(1, 0)); }},
  };
}

std::vector<Call> events_calls(const Shared& s) {
  const auto& records = s.chain.records;
  return {
      {"canonical_json", [&] { return shown(events::canonical_json(s.world)); }},
      {"canonical_json refuses", [&] { return shown(events::canonical_json(doc(R"({"a": 1.5})"))); }},
      {"canonical_json_of_text",
       [&] {
         auto text = events::canonical_json_of_text(s.world_text);
         return text ? std::string(text->text()) + shown(text->utf16_length) : "none";
       }},
      {"assert_nfc", [] { return shown(events::assert_nfc("Zoë")) + shown(events::assert_nfc("Zoe\u0308")); }},
      {"field", [] { return events::field("Zoë😀") + events::js_json_string("a\"\u2028"); }},
      {"hmac",
       [] {
         return events::hmac_sha256_hex("key", "message") + events::hmac_sha256_hex_bytes("key", {"mess", "age"});
       }},
      {"sign_record", [&] { return shown(events::sign_record(kKey, 3, "EpochResolved", s.world, "prev")); }},
      {"messages",
       [&] {
         return shown(events::seal_message(4, "head")) +
                shown(events::bundle_bind_message(kWorldId, "hash", 2, "genesis", 4, "head"));
       }},
      {"verify",
       [&] {
         auto report = events::verify_records_detailed(kKey, records, s.chain.genesis, s.seal);
         return shown(report.mismatches.size()) + shown(report.record_count) +
                shown(events::verify_records("other key", records, s.chain.genesis)) +
                shown(events::verify_seal(kKey, s.seal)) +
                shown(events::signatures_equal(records[0].sig, records[1].sig));
       }},
  };
}

std::vector<Call> snapshot_calls(const Shared& s) {
  return {
      {"world_state_hash", [&] { return shown(snapshot::world_state_hash(kKey, s.world)); }},
      {"world_state_hash_of_text",
       [&] {
         auto hash = snapshot::world_state_hash_of_text(kKey, s.world_text);
         return hash ? *hash : "error";
       }},
      {"global_region_hash",
       [&] {
         json::Value regions = json::Object{{"north", s.world}, {"south", s.bundle}};
         return shown(snapshot::global_region_hash(kKey, regions));
       }},
      {"normalize_tags",
       [] {
         std::string out;
         for (const auto& tag : snapshot::normalize_tags({"b", "😀", "\uFFFF", "b", "a"})) out += tag + ",";
         return out;
       }},
  };
}

std::vector<Call> ruleset_calls(const Shared& s) {
  return {
      {"ids",
       [] {
         return shown(ruleset::compare_ids("10", "9")) + shown(ruleset::is_numeric_id("-12")) +
                shown(ruleset::normalize_numeric("-0").negative);
       }},
      {"validate",
       [&] {
         return shown(ruleset::validate_check(s.check)) + shown(ruleset::validate_triggered_mutations(s.mutations)) +
                shown(ruleset::validate_check(s.mutations));
       }},
      {"evaluate_action",
       [&] {
         auto result = ruleset::evaluate_action(s.world, s.check, "1", "3", 9);
         return result ? result->outcome.degree + shown(result->outcome.roll) + shown(result->state) : result.error();
       }},
      {"evaluate_action_in_place",
       [&] {
         json::Value state = s.world;
         math::Pcg32 rng = math::Pcg32::seeded(9);
         auto outcome = ruleset::evaluate_action_in_place(state, s.check, "1", "3", rng);
         return (outcome ? outcome->degree : outcome.error()) + shown(state) + shown(rng);
       }},
      {"apply_triggered_mutations",
       [&] {
         auto result = ruleset::apply_triggered_mutations(s.world, s.mutations, "1", std::nullopt, 9);
         return result ? shown(result->state) + shown(result->outcome.size()) : result.error();
       }},
  };
}

std::vector<Call> epoch_calls(const Shared& s) {
  return {
      {"tick_epoch_from_json", [&] { return shown(epoch::tick_epoch_from_json(s.tick_text)); }},
      {"tick_epoch",
       [&] {
         return shown(epoch::tick_epoch({.world_id = kWorldId,
                                         .epoch_number = 2,
                                         .state = s.world,
                                         .proposals = s.proposals,
                                         .ruleset = session::testing::test_ruleset()}));
       }},
      {"catch_up_epochs_from_json", [&] { return shown(epoch::catch_up_epochs_from_json(s.catch_up_text)); }},
      {"tick refuses", [&] { return shown(epoch::tick_epoch_from_json(R"({"worldId": "w", "epochNumber": 1.5})")); }},
      {"generators",
       [] {
         return shown(epoch::derive_epoch_prng(kWorldId, 7)) + shown(epoch::derive_epoch_prng("Zoe\u0308", 7)) +
                shown(events::generator_from_sha256("message"));
       }},
  };
}

std::vector<Call> frame_calls(const Shared& s) {
  return {
      {"tick_frame_from_json", [&] { return shown(frame::tick_frame_from_json(s.frame_text)); }},
      {"reconcile_frames_from_json", [&] { return shown(frame::reconcile_frames_from_json(s.reconcile_text)); }},
      {"checks",
       [&] {
         return shown(frame::validate_commands(s.commands)) + shown(frame::frames_to_replay(2, 9000)) +
                shown(frame::derive_frame_prng(kWorldId, 3));
       }},
  };
}

std::vector<Call> session_calls(const Shared& s) {
  return {
      {"resume_from_json", [&] { return shown(session::resume_from_json(s.resume_text)); }},
      {"resume refuses",
       [&] {
         std::string tampered = s.resume_text;
         tampered.replace(tampered.find("\"luck\":"), 7, "\"luck\":1");
         return shown(session::resume_from_json(tampered));
       }},
      {"replay_epoch_event", [&] { return shown(session::replay_epoch_event(s.world, s.chain.records[1].payload)); }},
  };
}

std::vector<Call> combat_calls(const Shared&) {
  return {
      {"initiative_order",
       [] {
         std::string out;
         for (const auto& entry :
              combat::initiative_order({{"10", 15, 2, 13}, {"9", 15, 2, 13}, {"b", 20, 0, 1}, {"a", 15, 3, 12}})) {
           out += entry.id + ",";
         }
         return out;
       }},
      {"bands",
       [] {
         return std::string(combat::band_name(combat::band_from_distance_ft(12))) +
                shown(combat::band_within("near", "far")) + shown(combat::parse_band("Far").has_value());
       }},
  };
}

struct Library {
  const char* name;
  std::vector<Call> (*calls)(const Shared&);
};

const Library kLibraries[] = {
    {"json", json_calls},         {"math", math_calls},       {"events", events_calls},
    {"snapshot", snapshot_calls}, {"ruleset", ruleset_calls}, {"epoch", epoch_calls},
    {"frame", frame_calls},       {"session", session_calls}, {"combat", combat_calls},
};

// Runs `calls` on kThreads threads at once, each starting at another call so that different
// entry points run side by side, and returns every outcome that differs from the one-thread one.
std::vector<std::string> disagreements(const std::vector<Call>& calls) {
  std::vector<std::string> expected;
  for (const Call& call : calls) expected.push_back(call.run());
  std::vector<std::vector<std::string>> found(kThreads);
  std::barrier start(static_cast<std::ptrdiff_t>(kThreads));
  {
    std::vector<std::jthread> threads;
    for (std::size_t thread = 0; thread < kThreads; ++thread) {
      threads.emplace_back([&, thread] {
        start.arrive_and_wait();
        for (std::size_t round = 0; round < kRounds; ++round) {
          for (std::size_t step = 0; step < calls.size(); ++step) {
            std::size_t index = (step + thread * 3 + round) % calls.size();
            if (calls[index].run() != expected[index]) {
              found[thread].push_back("thread " + std::to_string(thread) + ": " + calls[index].name);
            }
          }
        }
      });
    }
  }
  std::vector<std::string> all;
  for (auto& own : found) all.insert(all.end(), own.begin(), own.end());
  return all;
}

class EveryEntryPoint : public ::testing::TestWithParam<Library> {};

TEST_P(EveryEntryPoint, GivesOnManyThreadsWhatItGivesOnOne) {
  const Shared& inputs = shared();
  auto calls = GetParam().calls(inputs);
  for (const Call& call : calls) EXPECT_EQ(call.run(), call.run()) << call.name << " is not deterministic";
  EXPECT_EQ(disagreements(calls), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Libraries, EveryEntryPoint, ::testing::ValuesIn(kLibraries),
                         [](const auto& library) { return std::string(library.param.name); });

// The whole surface at once: calls of different libraries meet on the same shared inputs.
TEST(AllLibraries, GiveOnManyThreadsWhatTheyGiveOnOne) {
  const Shared& inputs = shared();
  std::vector<Call> calls;
  for (const Library& library : kLibraries) {
    auto own = library.calls(inputs);
    calls.insert(calls.end(), own.begin(), own.end());
  }
  EXPECT_EQ(disagreements(calls), std::vector<std::string>{});
}

// The outcomes are real results, not errors of a fixture: a broken input would make the
// agreement above hold trivially.
TEST(AllLibraries, SharedInputsAreAccepted) {
  const Shared& inputs = shared();
  for (const auto& outcome :
       {epoch::tick_epoch_from_json(inputs.tick_text), epoch::catch_up_epochs_from_json(inputs.catch_up_text),
        frame::tick_frame_from_json(inputs.frame_text), frame::reconcile_frames_from_json(inputs.reconcile_text),
        session::resume_from_json(inputs.resume_text)}) {
    EXPECT_TRUE(outcome.has_value()) << outcome.error();
  }
}

}  // namespace
}  // namespace kest
