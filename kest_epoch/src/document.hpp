// Helpers for the input documents the `_from_json` operations parse and own.
#pragma once

#include <string_view>
#include <utility>

#include "kest/json.hpp"

namespace kest::epoch {

// Moves the member `key` out of a document the caller owns (null when absent), so that the
// world state it holds is handed on without a copy.
inline json::Value take_member(json::Value& document, std::string_view key) {
  json::Value* member = document.find(key);
  return member != nullptr ? std::move(*member) : json::Value();
}

}  // namespace kest::epoch
