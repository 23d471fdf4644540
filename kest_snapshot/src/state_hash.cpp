#include <string>

#include "kest/signing.hpp"
#include "kest/snapshot.hpp"
#include "kest/utf8.hpp"

namespace kest::snapshot {
namespace {

constexpr std::string_view kSnapshotTag = "kest.snapshot/1";

}  // namespace

std::expected<std::string, events::CanonError> world_state_hash(std::string_view key, const json::Value& state) {
  std::string canonical;
  if (auto written = events::append_canonical_json(canonical, state); !written) {
    return std::unexpected(written.error());
  }
  // The canonical text's field is MACed as its length prefix and then the text itself, so that a
  // state of megabytes is never copied behind the prefix.
  std::string header = events::field(kSnapshotTag);
  header.append(std::to_string(json::utf16_length(canonical)));
  header.push_back(':');
  return events::hmac_sha256_hex_bytes(key, {header, canonical});
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
