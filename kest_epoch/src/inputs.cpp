// Readers of the members of epoch input documents.
#include <limits>

#include "kest/canonical.hpp"
#include "kest/epoch.hpp"

namespace kest::epoch {

std::optional<std::int64_t> integer_value(const json::Value& value) noexcept {
  if (value.is_int()) return value.as_int();
  if (value.is_uint() && value.as_uint() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(value.as_uint());
  }
  return std::nullopt;
}

std::optional<std::uint64_t> safe_count_value(const json::Value& value) noexcept {
  if (value.is_uint() && value.as_uint() <= static_cast<std::uint64_t>(events::kMaxSafeInteger)) {
    return value.as_uint();
  }
  return std::nullopt;
}

std::vector<std::string> parse_actor_tags(const json::Value& input) {
  std::vector<std::string> tags;
  if (const json::Array* elements = input["actorTags"].if_array()) {
    for (const json::Value& element : *elements) {
      if (const std::string* tag = element.if_string()) tags.push_back(*tag);
    }
  }
  return tags;
}

Result<std::optional<std::uint64_t>> parse_max_actions(const json::Value& input) {
  const json::Value& cap = input["maxActions"];
  if (cap.is_null()) return std::nullopt;
  if (auto count = safe_count_value(cap)) return count;
  return fail("world-epoch: maxActions must be a non-negative JS-safe integer");
}

}  // namespace kest::epoch
