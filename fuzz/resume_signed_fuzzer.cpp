// Session resume of bundles the harness signs itself, so that the fuzzer reaches past the
// integrity checks into replay and catch-up. The input is one document: the key, world id,
// snapshot state, event index, tail genesis and the payloads of the tail records, next to the
// other members of a resume input, which are passed on as they are.
//
// A genuine bundle is never refused as forged or tampered with; otherwise resume behaves as the
// whole-request harnesses require.
#include <optional>
#include <string>

#include "kest/session.hpp"
#include "kest/signing.hpp"
#include "kest/snapshot.hpp"
#include "whole_request.hpp"

namespace {

using namespace kest;

// Catch-up runs up to "maxCatchup" epochs; see resume_fuzzer.cpp.
constexpr std::uint64_t kMostEpochs = 8;

constexpr std::string_view kEventType = "EpochResolved";

std::string text_member(const json::Value& document, std::string_view key, std::string_view otherwise) {
  const std::string* text = document[key].if_string();
  return text != nullptr ? *text : std::string(otherwise);
}

// The bundle a host would suspend: the snapshot with its hash, the tail records signed and linked,
// the seal and the binding. Nothing when one of its texts or payloads cannot be signed.
std::optional<json::Value> genuine_bundle(const json::Value& document, std::string_view key) {
  std::string world_id = text_member(document, "worldId", "");
  std::string tail_genesis = text_member(document, "tailGenesis", "genesis");
  auto event_index = fuzz::unsigned_member(document, "eventIndex").value_or(0);
  if (event_index > static_cast<std::uint64_t>(events::kMaxSafeInteger)) return std::nullopt;
  const json::Value& state = document["state"];
  auto state_hash = snapshot::world_state_hash(key, state);
  if (!state_hash) return std::nullopt;

  json::Array tail;
  std::string head = tail_genesis;
  std::uint64_t seq = event_index;
  if (const json::Array* payloads = document["payloads"].if_array()) {
    for (const json::Value& payload : *payloads) {
      auto sig = events::sign_record(key, seq, kEventType, payload, head);
      if (!sig) return std::nullopt;
      tail.push_back(
          json::Object{{"seq", seq}, {"type", kEventType}, {"payload", payload}, {"prevSig", head}, {"sig", *sig}});
      head = *sig;
      ++seq;
    }
  }
  auto seal = events::seal_message(seq, head);
  auto binding = events::bundle_bind_message(world_id, *state_hash, event_index, tail_genesis, seq, head);
  if (!seal || !binding) return std::nullopt;
  return json::Object{
      {"worldId", world_id},
      {"snapshot", json::Object{{"state", state}, {"stateHash", *state_hash}, {"eventIndex", event_index}}},
      {"chainTail", std::move(tail)},
      {"tailGenesis", tail_genesis},
      {"seal", json::Object{{"count", seq}, {"head", head}, {"sig", events::hmac_sha256_hex_bytes(key, *seal)}}},
      {"binding", events::hmac_sha256_hex_bytes(key, *binding)},
  };
}

bool is_integrity_refusal(std::string_view message) {
  return fuzz::starts_with_any(
      message, {"world-session: hash: ", "world-session: corrupted snapshot",
                "world-session: chain seal signature invalid", "world-session: bundle binding invalid",
                "world-session: chain tail head", "world-session: chain tail length", "world-session: chain tamper"});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto document = json::parse(fuzz::text_of(data, size));
  if (!document || !document->is_object()) return fuzz::kRejectInput;
  auto bound = fuzz::unsigned_member(*document, "maxCatchup");
  if (bound && fuzz::accepted_but_above(*bound, kMostEpochs)) return fuzz::kRejectInput;
  const std::string* key = (*document)["key"].if_string();
  if (key == nullptr) return fuzz::kRejectInput;
  auto bundle = genuine_bundle(*document, *key);
  if (!bundle) return fuzz::kRejectInput;

  json::Object input = document->as_object();
  for (std::string_view member : {"worldId", "state", "eventIndex", "tailGenesis", "payloads"}) input.erase(member);
  input.insert_or_assign("bundle", std::move(*bundle));
  std::string text = json::write(input);

  auto result = fuzz::check_whole_request(session::resume_from_json, text, {"world-session: ", "world-epoch: "});
  fuzz::require(result || !is_integrity_refusal(result.error()), "a genuine bundle passes every integrity check");
  return 0;
}
