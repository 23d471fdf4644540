// The checks shared by the harnesses of the whole-request operations, which take one JSON text and
// answer with an output text or a message.
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "harness.hpp"
#include "kest/canonical.hpp"
#include "kest/json.hpp"

namespace kest::fuzz {

using WholeRequest = std::expected<std::string, std::string> (*)(std::string_view);

// A whole-request operation given the same text twice answers the same both times; its output is
// compact JSON that parses and that the writer reproduces byte for byte; its messages carry one
// of the prefixes the operation may report. Returns the answer for further checks.
inline std::expected<std::string, std::string> check_whole_request(
    WholeRequest operation, std::string_view input, std::initializer_list<std::string_view> message_prefixes) {
  auto first = operation(input);
  require(first == operation(input), "two calls with the same input give the same result");
  if (!first) {
    require(starts_with_any(first.error(), message_prefixes), "a message carries the operation's prefix");
    return first;
  }
  auto output = json::parse(*first);
  require(output.has_value(), "the output is JSON");
  require(json::write(*output) == *first, "the output is the writer's compact text");
  return first;
}

// The member `key` of a parsed input when it is a non-negative integer.
inline std::optional<std::uint64_t> unsigned_member(const json::Value& document, std::string_view key) {
  const json::Value& member = document[key];
  if (!member.is_uint()) return std::nullopt;
  return member.as_uint();
}

// Whether `count` is more than `most` and yet small enough to pass as a JS-safe bound.
inline bool accepted_but_above(std::uint64_t count, std::uint64_t most) {
  return count > most && count <= static_cast<std::uint64_t>(events::kMaxSafeInteger);
}

}  // namespace kest::fuzz
