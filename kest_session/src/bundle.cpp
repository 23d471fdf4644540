// Bundle verification, fail-closed: each check runs only when every earlier one has passed, so
// nothing of the bundle is read as trusted before what covers it has been verified.
#include "bundle.hpp"

#include "kest/chain.hpp"
#include "kest/readers.hpp"
#include "kest/snapshot.hpp"

namespace kest::session {
namespace {

// A text member, or the empty string when it is absent or not a string.
std::string_view text_or_empty(const json::Value& value) {
  const std::string* text = value.if_string();
  return text != nullptr ? std::string_view(*text) : std::string_view();
}

std::optional<events::ChainSeal> read_seal(const json::Value& seal) {
  const json::Value& count = seal["count"];
  const std::string* head = seal["head"].if_string();
  const std::string* sig = seal["sig"].if_string();
  if (!count.is_uint() || head == nullptr || sig == nullptr) return std::nullopt;
  return events::ChainSeal{.head = *head, .sig = *sig, .count = count.as_uint()};
}

std::string length_mismatch(std::uint64_t count, std::uint64_t event_index, std::size_t tail_length) {
  return "world-session: chain tail length does not match the seal (sealed count " + std::to_string(count) +
         " != eventIndex " + std::to_string(event_index) + " + tail " + std::to_string(tail_length) + ")";
}

}  // namespace

Result<AuthenticatedBundle> authenticate_bundle(std::string_view key, json::Value& bundle,
                                                std::optional<std::string_view> expected_world_id) {
  const json::Value& world_id = bundle["worldId"];
  if (expected_world_id && (!world_id.is_string() || world_id.as_string() != *expected_world_id)) {
    return fail(std::string(kCrossWorldBundle));
  }

  json::Value* snapshot = bundle.find("snapshot");
  if (snapshot == nullptr) return fail("world-session: bundle missing snapshot");
  json::Value* state = snapshot->find("state");
  if (state == nullptr) return fail("world-session: snapshot missing state");
  const std::string* state_hash = (*snapshot)["stateHash"].if_string();
  if (state_hash == nullptr) return fail("world-session: snapshot missing stateHash");
  json::Value* tail_member = bundle.find("chainTail");
  if (tail_member != nullptr && !tail_member->is_null() && !tail_member->is_array()) {
    return fail("world-session: chainTail must be an array");
  }
  json::Array no_records;
  json::Array& tail = tail_member != nullptr && tail_member->is_array() ? tail_member->as_array() : no_records;
  if (!(*state)["entities"].is_object()) {
    return fail("world-session: snapshot.state.entities must be an object (malformed WorldState rejected fail-closed)");
  }

  auto hash = snapshot::world_state_hash(key, *state);
  if (!hash) return fail("world-session: hash: " + std::string(events::canon_error_name(hash.error())));
  if (!events::signatures_equal(*hash, *state_hash)) {
    return fail("world-session: corrupted snapshot (state hash mismatch)");
  }

  const json::Value& seal_member = bundle["seal"];
  if (!seal_member.is_object()) {
    return fail(
        "world-session: bundle carries no chain seal (pre-seal bundle format rejected; re-suspend with the current "
        "engine)");
  }
  std::optional<events::ChainSeal> seal = read_seal(seal_member);
  if (!seal || !events::verify_seal(key, *seal)) {
    return fail("world-session: chain seal signature invalid (forged seal or wrong key)");
  }

  std::optional<std::uint64_t> event_index = json::safe_count_value((*snapshot)["eventIndex"]);
  if (!event_index) return fail("world-session: snapshot.eventIndex must be a JS-safe integer >= 0");
  const std::string_view tail_genesis = text_or_empty(bundle["tailGenesis"]);
  if (!events::verify_bundle_binding(key, text_or_empty(world_id), *state_hash, *event_index, tail_genesis, seal->count,
                                     seal->head, text_or_empty(bundle["binding"]))) {
    return fail(
        "world-session: bundle binding invalid (worldId / eventIndex / tailGenesis rewritten, or cross-world splice "
        "- forge detected)");
  }

  // The seal covers the whole chain, so its head and count catch records dropped from the end,
  // which signatures and links alone cannot.
  const std::string* head = (tail.empty() ? bundle["tailGenesis"] : tail.back()["sig"]).if_string();
  if (head == nullptr || *head != seal->head) {
    return fail(
        "world-session: chain tail head does not match the seal (trailing records dropped or replaced - "
        "end-truncation detected)");
  }
  if (seal->count != *event_index + tail.size()) return fail(length_mismatch(seal->count, *event_index, tail.size()));

  AuthenticatedBundle authenticated{.world_id = std::string(text_or_empty(world_id))};
  authenticated.tail.reserve(tail.size());
  for (json::Value& element : tail) {
    KEST_ASSIGN_OR_RETURN(auto record, parse_record(std::move(element)));
    authenticated.tail.push_back(std::move(record));
  }
  if (!events::verify_records(key, authenticated.tail, tail_genesis)) {
    return fail("world-session: chain tamper detected in tail");
  }
  authenticated.state = std::move(*state);
  return authenticated;
}

}  // namespace kest::session
