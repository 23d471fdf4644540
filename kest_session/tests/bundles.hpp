// Genuine suspended bundles for the tests: a world ticked live for some epochs, each event signed
// into a chain, then cut into a snapshot and a tail, sealed and bound with the server key.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "kest/epoch.hpp"
#include "kest/json_testing.hpp"
#include "kest/signing.hpp"
#include "kest/snapshot.hpp"

namespace kest::session::testing {

using kest::test_support::doc;

inline constexpr std::string_view kKey = "server key";
inline constexpr std::string_view kWorldId = "w1";

// Actors "1" and "2" act offline; "3" is only ever a target.
inline const json::Value& test_ruleset() {
  static const json::Value ruleset = doc(R"({
    "gamble": {"kind": "mutations", "mutations": [
      {"type": "add_prop", "target": "actor", "property": "luck", "value": {"type": "dice", "equation": "1d20"}}]},
    "recruit": {"kind": "mutations", "mutations": [{"type": "add_tag", "target": "target", "tag": "ally"}]},
    "shun": {"kind": "mutations", "mutations": [{"type": "remove_tag", "target": "target", "tag": "ally"}]},
    "strike": {"kind": "mutations", "mutations": [
      {"type": "sub_prop", "target": "target", "property": "hp", "value": {"type": "literal", "value": 3}}]}
  })");
  return ruleset;
}

inline json::Value initial_state() {
  return doc(R"({"entities": {
    "1": {"properties": {"hp": 10}, "tags": ["acts_offline"]},
    "2": {"properties": {"hp": 10}, "tags": ["acts_offline"]},
    "3": {"properties": {"hp": 30}, "tags": ["npc"]}}, "epoch": 0})");
}

// Epoch e's proposals: "1" gambles; "2" cycles through its three actions against "3" and "4"
// (which does not exist until something is done to it).
inline json::Value proposals_for(std::int64_t epoch) {
  static constexpr const char* actions[] = {"recruit", "strike", "shun"};
  const char* target = epoch % 2 == 0 ? "3" : "4";
  return json::Object{{"1", json::Object{{"actionId", "gamble"}}},
                      {"2", json::Object{{"actionId", actions[epoch % 3]}, {"targetId", target}}}};
}

// A chain and the live states it records: states[i] is the world after the first i records.
struct LiveChain {
  std::string genesis = "genesis";
  std::vector<json::Value> states;
  std::vector<events::ChainedRecord> records;
};

inline LiveChain live_chain(std::int64_t epochs) {
  LiveChain chain;
  chain.states.push_back(initial_state());
  for (std::int64_t e = 1; e <= epochs; ++e) {
    const json::Value proposals = proposals_for(e);
    auto tick = epoch::tick_epoch({.world_id = kWorldId,
                                   .epoch_number = e,
                                   .state = chain.states.back(),
                                   .proposals = proposals,
                                   .ruleset = test_ruleset()});
    EXPECT_TRUE(tick.has_value());
    events::ChainedRecord record{.seq = static_cast<std::uint64_t>(e - 1),
                                 .type = "EpochResolved",
                                 .payload = std::move(tick->event),
                                 .prev_sig = chain.records.empty() ? chain.genesis : chain.records.back().sig,
                                 .sig = ""};
    record.sig = events::sign_record(kKey, record.seq, record.type, record.payload, record.prev_sig).value();
    chain.records.push_back(std::move(record));
    chain.states.push_back(std::move(tick->state));
  }
  return chain;
}

inline json::Value record_json(const events::ChainedRecord& record) {
  return json::Object{{"seq", record.seq},
                      {"type", record.type},
                      {"payload", record.payload},
                      {"prevSig", record.prev_sig},
                      {"sig", record.sig}};
}

inline std::string text_of(const json::Value& value) { return value.if_string() ? value.as_string() : ""; }

// Signs the bundle's seal over `count` and `head` with `key`.
inline void seal(json::Value& bundle, std::uint64_t count, std::string head, std::string_view key = kKey) {
  std::string sig = events::hmac_sha256_hex_bytes(key, events::seal_message(count, head).value());
  bundle.as_object().insert_or_assign(
      "seal", json::Object{{"count", count}, {"head", std::move(head)}, {"sig", std::move(sig)}});
}

// Signs the binding over the bundle's fields as they now stand.
inline void bind(json::Value& bundle, std::string_view key = kKey) {
  const json::Value& seal_value = bundle["seal"];
  auto message = events::bundle_bind_message(text_of(bundle["worldId"]), text_of(bundle["snapshot"]["stateHash"]),
                                             bundle["snapshot"]["eventIndex"].as_uint(), text_of(bundle["tailGenesis"]),
                                             seal_value["count"].as_uint(), text_of(seal_value["head"]));
  bundle.as_object().insert_or_assign("binding", events::hmac_sha256_hex_bytes(key, message.value()));
}

// The bundle of a world suspended after the chain's first `event_index` records.
inline json::Value suspend(const LiveChain& chain, std::size_t event_index) {
  const json::Value& state = chain.states[event_index];
  json::Array tail;
  for (std::size_t i = event_index; i < chain.records.size(); ++i) tail.push_back(record_json(chain.records[i]));
  const std::string tail_genesis = event_index == 0 ? chain.genesis : chain.records[event_index - 1].sig;
  const std::string head = chain.records.empty() ? chain.genesis : chain.records.back().sig;
  json::Value bundle = json::Object{
      {"worldId", kWorldId},
      {"snapshot", json::Object{{"state", state},
                                {"stateHash", snapshot::world_state_hash(kKey, state).value()},
                                {"eventIndex", event_index}}},
      {"chainTail", std::move(tail)},
      {"tailGenesis", tail_genesis},
  };
  seal(bundle, chain.records.size(), head);
  bind(bundle);
  return bundle;
}

}  // namespace kest::session::testing
