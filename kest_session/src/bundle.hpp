// The checks of a suspended bundle, up to and including the chain tail's signatures.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kest/session.hpp"

namespace kest::session {

inline constexpr std::string_view kCrossWorldBundle =
    "world-session: bundle worldId does not match expectedWorldId (cross-world or cross-path bundle rejected)";

// What the checks authenticated, taken out of the bundle without copies.
struct AuthenticatedBundle {
  std::string world_id = {};                     // empty when the bundle's "worldId" is not a string
  json::Value state = {};                        // the snapshot state, exactly as hashed
  std::vector<events::ChainedRecord> tail = {};  // signed and linked, the first to the tail genesis
};

// Runs the bundle checks in their fixed order; the first that fails gives the message. The
// snapshot state and the tail elements are moved out of `bundle`.
Result<AuthenticatedBundle> authenticate_bundle(std::string_view key, json::Value& bundle,
                                                std::optional<std::string_view> expected_world_id);

}  // namespace kest::session
