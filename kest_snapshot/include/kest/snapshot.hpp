// State hashing and the normal form of tag lists.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kest/canonical.hpp"
#include "kest/json.hpp"

namespace kest::snapshot {

// The keyed hash of a state: the MAC of the framed tag "kest.snapshot/1" and the framed canonical
// text. Any value with a canonical form has one.
std::expected<std::string, events::CanonError> world_state_hash(std::string_view key, const json::Value& state);

// Why a state text has no hash: the parser's message, or the state's canonical-form fault.
using StateTextError = std::variant<std::string, events::CanonError>;

// world_state_hash of the state a JSON text holds, failing as json::parse and then
// world_state_hash would. A common state (integers, NFC strings, no repeated keys) is hashed in
// one pass over its text without building its value.
std::expected<std::string, StateTextError> world_state_hash_of_text(std::string_view key, std::string_view state_json);

// Each region identifier with the hash text of its state, as a JSON object; the empty object when
// `regions` is not an object. The first region (in byte order) without a canonical form decides.
std::expected<json::Value, events::CanonError> region_leaves(std::string_view key, const json::Value& regions);

// The root over the regions: the hash of the leaves object.
std::expected<std::string, events::CanonError> global_region_hash(std::string_view key, const json::Value& regions);

// Each distinct tag once, in UTF-16 order.
std::vector<std::string> normalize_tags(std::vector<std::string> tags);

// The entity a mutation of an absent one creates: {"properties": {}, "tags": []}.
json::Value new_entity();

// What "add_tag" leaves in an entity's "tags": the string elements of `tags` (its "tags" member,
// null when it has none) and `tag`, normalised. Elements of other kinds, and a member that is not
// an array, hold no tag.
json::Array string_tags_with(const json::Value* tags, std::string_view tag);

}  // namespace kest::snapshot
