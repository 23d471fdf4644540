#include <string>

#include "kest/signing.hpp"
#include "kest/snapshot.hpp"
#include "kest/utf8.hpp"

namespace kest::snapshot {
namespace {

constexpr std::string_view kSnapshotTag = "kest.snapshot/1";

// The MAC of the framed tag and the framed canonical text. The text's field goes in as its
// length prefix and then the text itself, so that a state of megabytes is never copied behind
// the prefix.
std::string hash_of_canonical(std::string_view key, std::string_view canonical, std::size_t utf16_length) {
  std::string header = events::field(kSnapshotTag);
  header.append(std::to_string(utf16_length));
  header.push_back(':');
  return events::hmac_sha256_hex_bytes(key, {header, canonical});
}

}  // namespace

std::expected<std::string, events::CanonError> world_state_hash(std::string_view key, const json::Value& state) {
  auto canonical = events::canonical_json(state);
  if (!canonical) return std::unexpected(canonical.error());
  return hash_of_canonical(key, *canonical, json::utf16_length(*canonical));
}

std::expected<std::string, StateTextError> world_state_hash_of_text(std::string_view key, std::string_view state_json) {
  if (auto canonical = events::canonical_json_of_text(state_json)) {
    return hash_of_canonical(key, canonical->text(), canonical->utf16_length);
  }
  auto state = json::parse(state_json);
  if (!state) return std::unexpected(StateTextError(std::move(state.error())));
  auto hash = world_state_hash(key, *state);
  if (!hash) return std::unexpected(StateTextError(hash.error()));
  return *hash;
}

std::expected<json::Value, events::CanonError> region_leaves(std::string_view key, const json::Value& regions) {
  json::Object leaves;
  if (const json::Object* regions_object = regions.if_object()) {
    for (const json::Member& region : *regions_object) {
      auto hash = world_state_hash(key, region.value);
      if (!hash) return std::unexpected(hash.error());
      leaves.insert_or_assign(region.key, std::move(*hash));
    }
  }
  return json::Value(std::move(leaves));
}

std::expected<std::string, events::CanonError> global_region_hash(std::string_view key, const json::Value& regions) {
  auto leaves = region_leaves(key, regions);
  if (!leaves) return std::unexpected(leaves.error());
  return world_state_hash(key, *leaves);
}

}  // namespace kest::snapshot
