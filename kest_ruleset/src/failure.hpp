// Failures inside the rules engine are message strings carried by `Result`; these two helpers
// keep the plumbing between steps short.
#pragma once

#include <expected>
#include <string>
#include <utility>

#include "kest/ruleset.hpp"

namespace kest::ruleset {

inline std::unexpected<std::string> fail(std::string message) { return std::unexpected(std::move(message)); }

// Passes on the message of a step that failed.
template <typename T>
std::unexpected<std::string> forward_error(Result<T>& failed) {
  return std::unexpected(std::move(failed.error()));
}

}  // namespace kest::ruleset
