// State hashing and the normal form of tag lists.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "kest/canonical.hpp"
#include "kest/json.hpp"

namespace kest::snapshot {

// The keyed hash of a state: the MAC of the framed tag "kest.snapshot/1" and the framed canonical
// text. Any value with a canonical form has one.
std::expected<std::string, events::CanonError> world_state_hash(std::string_view key, const json::Value& state);

// Each region identifier with the hash text of its state, as a JSON object; the empty object when
// `regions` is not an object. The first region (in byte order) without a canonical form decides.
std::expected<json::Value, events::CanonError> region_leaves(std::string_view key, const json::Value& regions);

// The root over the regions: the hash of the leaves object.
std::expected<std::string, events::CanonError> global_region_hash(std::string_view key, const json::Value& regions);

// Each distinct tag once, in UTF-16 order.
std::vector<std::string> normalize_tags(std::vector<std::string> tags);

}  // namespace kest::snapshot
