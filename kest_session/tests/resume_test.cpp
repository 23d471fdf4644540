#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "bundles.hpp"
#include "kest/session.hpp"

namespace kest::session {
namespace {

using namespace testing;

constexpr std::string_view kForgedSeal = "world-session: chain seal signature invalid (forged seal or wrong key)";
constexpr std::string_view kBadBinding =
    "world-session: bundle binding invalid (worldId / eventIndex / tailGenesis rewritten, or cross-world splice - "
    "forge detected)";
constexpr std::string_view kTruncated =
    "world-session: chain tail head does not match the seal (trailing records dropped or replaced - end-truncation "
    "detected)";
constexpr std::string_view kTampered = "world-session: chain tamper detected in tail";
constexpr std::string_view kTimeTravel = "world-session: time travel detected (currentEpoch < state.epoch)";

struct Call {
  std::int64_t current_epoch = 4;
  std::int64_t max_catchup = 0;
  std::optional<std::string_view> expected_world_id = std::nullopt;
};

Result<ResumeOutput> run(json::Value bundle, Call call = {}) {
  return resume({.key = kKey,
                 .bundle = std::move(bundle),
                 .current_epoch = call.current_epoch,
                 .max_catchup = call.max_catchup,
                 .ruleset = test_ruleset(),
                 .expected_world_id = call.expected_world_id});
}

std::string failure(json::Value bundle, Call call = {}) {
  auto result = run(std::move(bundle), call);
  return result ? "resumed" : result.error();
}

std::string output_text(json::Value bundle, Call call = {}) {
  auto result = run(std::move(bundle), call);
  if (!result) return result.error();
  return json::write(json::Object{{"epochsResolved", result->epochs_resolved},
                                  {"epochsVoided", result->epochs_voided},
                                  {"newEvents", std::move(result->new_events)},
                                  {"state", std::move(result->state)},
                                  {"worldId", std::move(result->world_id)}});
}

json::Value& at(json::Value& value, std::string_view key) { return *value.find(key); }
json::Array& tail_of(json::Value& bundle) { return at(bundle, "chainTail").as_array(); }
void set(json::Value& value, std::string key, json::Value member) {
  value.as_object().insert_or_assign(std::move(key), std::move(member));
}

// The MAC of framed fields joined as they are, NFC or not: what a signer that skipped the NFC
// test would have produced.
std::string raw_mac(std::initializer_list<std::string_view> fields, std::string_view key = kKey) {
  std::string message;
  for (std::string_view text : fields) events::append_field(message, text);
  return events::hmac_sha256_hex_bytes(key, message);
}

constexpr std::string_view kNonNfc = "e\xCC\x81";  // "e" and a combining acute accent

TEST(Resume, ReplaysTheTailOntoTheSnapshotWhereverTheChainWasCut) {
  const LiveChain chain = live_chain(4);
  for (std::size_t cut = 0; cut <= 4; ++cut) {
    auto result = run(suspend(chain, cut));
    ASSERT_TRUE(result.has_value()) << cut << ": " << result.error();
    EXPECT_EQ(json::write(result->state), json::write(chain.states[4])) << cut;
    EXPECT_EQ(result->world_id, kWorldId);
    EXPECT_TRUE(result->new_events.empty());
  }
}

TEST(Resume, CatchesUpFromTheReplayedEpoch) {
  const LiveChain chain = live_chain(4);
  auto result = run(suspend(chain, 1), {.current_epoch = 9, .max_catchup = 3});
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->epochs_resolved, 3);
  EXPECT_EQ(result->epochs_voided, 2);
  ASSERT_EQ(result->new_events.size(), 3u);
  EXPECT_EQ(json::write(result->new_events[0]["epoch_number"]), "5");
  auto expected = epoch::catch_up_epochs({.world_id = kWorldId,
                                          .state = chain.states[4],
                                          .ruleset = test_ruleset(),
                                          .current_epoch = 9,
                                          .max_catchup = 3});
  EXPECT_EQ(json::write(result->state), json::write(expected->state));
}

TEST(Resume, EveryTamperingFailsAtItsCheck) {
  using Mutation = std::function<void(json::Value&)>;
  struct Case {
    const char* name;
    Mutation mutate;
    std::string message;
  };
  const LiveChain chain = live_chain(4);
  const std::string last_sig = chain.records.back().sig;
  for (const Case& c : std::initializer_list<Case>{
           {"snapshot removed", [](json::Value& b) { b.as_object().erase("snapshot"); },
            "world-session: bundle missing snapshot"},
           {"state removed", [](json::Value& b) { at(b, "snapshot").as_object().erase("state"); },
            "world-session: snapshot missing state"},
           {"stateHash not text", [](json::Value& b) { set(at(b, "snapshot"), "stateHash", 5); },
            "world-session: snapshot missing stateHash"},
           {"chainTail an object", [](json::Value& b) { set(b, "chainTail", json::Object{}); },
            "world-session: chainTail must be an array"},
           {"entities an array", [](json::Value& b) { set(at(at(b, "snapshot"), "state"), "entities", json::Array{}); },
            "world-session: snapshot.state.entities must be an object (malformed WorldState rejected fail-closed)"},
           {"state not an object", [](json::Value& b) { set(at(b, "snapshot"), "state", 3); },
            "world-session: snapshot.state.entities must be an object (malformed WorldState rejected fail-closed)"},
           {"fraction in state", [](json::Value& b) { set(at(at(b, "snapshot"), "state"), "luck", 1.5); },
            "world-session: hash: NonIntegerNumber"},
           {"number in state changed", [](json::Value& b) { set(at(at(b, "snapshot"), "state"), "epoch", 2); },
            "world-session: corrupted snapshot (state hash mismatch)"},
           {"seal removed", [](json::Value& b) { b.as_object().erase("seal"); },
            "world-session: bundle carries no chain seal (pre-seal bundle format rejected; re-suspend with the current "
            "engine)"},
           {"seal count a float", [](json::Value& b) { set(at(b, "seal"), "count", 4.0); }, std::string(kForgedSeal)},
           {"seal head removed", [](json::Value& b) { at(b, "seal").as_object().erase("head"); },
            std::string(kForgedSeal)},
           {"seal head rewritten", [](json::Value& b) { set(at(b, "seal"), "head", "0" + text_of(b["tailGenesis"])); },
            std::string(kForgedSeal)},
           {"seal under another key", [&](json::Value& b) { seal(b, 4, last_sig, "other key"); },
            std::string(kForgedSeal)},
           {"seal head not NFC",
            [](json::Value& b) {
              set(b, "seal",
                  json::Object{{"count", 4}, {"head", kNonNfc}, {"sig", raw_mac({"kest.chain.seal/1", "4", kNonNfc})}});
            },
            std::string(kForgedSeal)},
           {"eventIndex a float", [](json::Value& b) { set(at(b, "snapshot"), "eventIndex", 1.0); },
            "world-session: snapshot.eventIndex must be a JS-safe integer >= 0"},
           {"eventIndex unsafe", [](json::Value& b) { set(at(b, "snapshot"), "eventIndex", 9007199254740992u); },
            "world-session: snapshot.eventIndex must be a JS-safe integer >= 0"},
           {"worldId changed", [](json::Value& b) { set(b, "worldId", "w2"); }, std::string(kBadBinding)},
           {"eventIndex changed", [](json::Value& b) { set(at(b, "snapshot"), "eventIndex", 2); },
            std::string(kBadBinding)},
           {"tailGenesis changed", [](json::Value& b) { set(b, "tailGenesis", "genesis"); }, std::string(kBadBinding)},
           {"binding removed", [](json::Value& b) { b.as_object().erase("binding"); }, std::string(kBadBinding)},
           {"binding under another key", [](json::Value& b) { bind(b, "other key"); }, std::string(kBadBinding)},
           {"worldId not NFC",
            [](json::Value& b) {
              set(b, "worldId", kNonNfc);
              set(b, "binding",
                  raw_mac({"kest.bundle.bind/1", kNonNfc, text_of(b["snapshot"]["stateHash"]), "1",
                           text_of(b["tailGenesis"]), "4", text_of(b["seal"]["head"])}));
            },
            std::string(kBadBinding)},
           {"last record dropped", [](json::Value& b) { tail_of(b).pop_back(); }, std::string(kTruncated)},
           {"last record dropped, seal rewritten without the key",
            [&](json::Value& b) {
              tail_of(b).pop_back();
              set(at(b, "seal"), "head", text_of(tail_of(b).back()["sig"]));
              set(at(b, "seal"), "count", 3);
            },
            std::string(kForgedSeal)},
           {"last record without sig", [](json::Value& b) { tail_of(b).back().as_object().erase("sig"); },
            std::string(kTruncated)},
           {"middle record dropped", [](json::Value& b) { tail_of(b).erase(tail_of(b).begin() + 1); },
            "world-session: chain tail length does not match the seal (sealed count 4 != eventIndex 1 + tail 2)"},
           {"middle record without sig", [](json::Value& b) { tail_of(b)[1].as_object().erase("sig"); },
            "record missing sig"},
           {"record not an object", [](json::Value& b) { tail_of(b)[0] = "record"; }, "record missing seq"},
           {"seq a float", [](json::Value& b) { set(tail_of(b)[0], "seq", 0.0); }, "record missing seq"},
           {"seq negative", [](json::Value& b) { set(tail_of(b)[0], "seq", -1); }, "record missing seq"},
           {"type missing", [](json::Value& b) { tail_of(b)[0].as_object().erase("type"); }, "record missing type"},
           {"payload missing", [](json::Value& b) { tail_of(b)[1].as_object().erase("payload"); },
            "record missing payload"},
           {"prevSig not text", [](json::Value& b) { set(tail_of(b)[1], "prevSig", json::Value()); },
            "record missing prevSig"},
           {"payload changed", [](json::Value& b) { set(at(tail_of(b)[1], "payload"), "pcg_steps_consumed", 0); },
            std::string(kTampered)},
           {"records reordered", [](json::Value& b) { std::swap(tail_of(b)[0], tail_of(b)[1]); },
            std::string(kTampered)},
           {"seq changed", [](json::Value& b) { set(tail_of(b)[0], "seq", 9); }, std::string(kTampered)},
           {"signature in uppercase",
            [](json::Value& b) {
              std::string sig = text_of(tail_of(b)[1]["sig"]);
              for (char& c : sig) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
              set(tail_of(b)[1], "sig", sig);
              set(tail_of(b)[2], "prevSig", sig);
            },
            std::string(kTampered)},
           {"last record's type not NFC, signed over it",
            [](json::Value& b) {
              json::Value& last = tail_of(b).back();
              set(last, "type", kNonNfc);
              std::string sig = raw_mac({"kest.chain.rec/1", "3", kNonNfc,
                                         events::canonical_json(last["payload"]).value(), text_of(last["prevSig"])});
              set(last, "sig", sig);
              seal(b, 4, sig);
              bind(b);
            },
            std::string(kTampered)},
       }) {
    json::Value bundle = suspend(chain, 1);
    c.mutate(bundle);
    EXPECT_EQ(failure(std::move(bundle)), c.message) << c.name;
  }
}

TEST(Resume, ChecksTheExpectedWorldIdFirst) {
  const LiveChain chain = live_chain(1);
  const std::string cross_world =
      "world-session: bundle worldId does not match expectedWorldId (cross-world or cross-path bundle rejected)";
  EXPECT_EQ(failure(json::Value(), {.expected_world_id = "w1"}), cross_world);
  EXPECT_EQ(failure(suspend(chain, 0), {.expected_world_id = "w2"}), cross_world);
  EXPECT_EQ(failure(suspend(chain, 0), {.expected_world_id = "w1"}), "resumed");
  EXPECT_EQ(failure(json::Value()), "world-session: bundle missing snapshot");
}

TEST(Resume, AnEarlierCheckWinsOverARecordWithoutSig) {
  json::Value bundle = suspend(live_chain(4), 1);
  tail_of(bundle)[1].as_object().erase("sig");
  set(at(at(bundle, "snapshot"), "state"), "epoch", 9);
  EXPECT_EQ(failure(std::move(bundle)), "world-session: corrupted snapshot (state hash mismatch)");
}

TEST(Resume, EmptyTails) {
  const LiveChain chain = live_chain(3);
  json::Value bundle = suspend(chain, 3);
  EXPECT_EQ(output_text(bundle, {.current_epoch = 3}),
            output_text(suspend(chain, 1), {.current_epoch = 3}));  // no replay needed, same world
  set(bundle, "chainTail", json::Value());
  EXPECT_EQ(failure(bundle, {.current_epoch = 3}), "resumed");

  // A chain that starts from the empty genesis: the tail genesis and the head are both "".
  LiveChain empty{.genesis = "", .states = {initial_state()}, .records = {}};
  json::Value unstarted = suspend(empty, 0);
  EXPECT_EQ(failure(unstarted, {.current_epoch = 0}), "resumed");
  set(unstarted, "tailGenesis", 5);  // counts as "" for the binding, but is no head
  EXPECT_EQ(failure(unstarted, {.current_epoch = 0}), kTruncated);
  unstarted.as_object().erase("tailGenesis");
  EXPECT_EQ(failure(unstarted, {.current_epoch = 0}), kTruncated);
}

TEST(Resume, RefusesABundleFromTheFuture) {
  const LiveChain chain = live_chain(4);
  EXPECT_EQ(failure(suspend(chain, 1), {.current_epoch = 3}), kTimeTravel);
  EXPECT_EQ(failure(suspend(chain, 4), {.current_epoch = 3}), kTimeTravel);

  LiveChain timeless{.states = {doc(R"({"entities": {}})")}, .records = {}};
  EXPECT_EQ(failure(suspend(timeless, 0), {.current_epoch = -1}), kTimeTravel);
  EXPECT_EQ(failure(suspend(timeless, 0), {.current_epoch = 0}), "resumed");
}

// Hashes and signatures cover canonical text, in which 5.0 and 5 are one number: a float put in
// without the key must leave the resumed world exactly as the genuine bundle gives it.
TEST(Resume, IntegralFloatsCountAsTheIntegersTheyWereSignedAs) {
  const LiveChain chain = live_chain(5);
  const Call call{.current_epoch = 7, .max_catchup = 1};

  json::Value snapshot_float = suspend(chain, 5);
  set(at(at(snapshot_float, "snapshot"), "state"), "epoch", 5.0);
  const std::string genuine = output_text(suspend(chain, 5), call);
  EXPECT_NE(genuine.find(R"("epochsResolved":1,"epochsVoided":1)"), std::string::npos) << genuine;
  EXPECT_EQ(output_text(std::move(snapshot_float), call), genuine);

  json::Value payload_float = suspend(chain, 0);
  bool rewritten = false;
  for (json::Value& record : tail_of(payload_float)) {
    json::Value& payload = at(record, "payload");
    set(payload, "epoch_number", static_cast<double>(payload["epoch_number"].as_uint()));
    for (json::Value& action : at(payload, "actions_processed").as_array()) {
      for (json::Value& mutation : at(action, "mutations_applied").as_array()) {
        if (json::Value* next = mutation.find("next"); next != nullptr && next->is_uint()) {
          *next = static_cast<double>(next->as_uint());
          rewritten = true;
        }
      }
    }
  }
  ASSERT_TRUE(rewritten);
  EXPECT_EQ(output_text(std::move(payload_float), call), genuine);
}

}  // namespace
}  // namespace kest::session
