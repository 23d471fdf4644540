#include "canonical_numbers.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kest/canonical.hpp"

namespace kest::session {
namespace {

// Recursion is bounded by the canonical depth limit, below which no authenticated value reaches.
void canonicalize_at(json::Value& value, std::size_t depth) {
  if (depth > events::kMaxCanonicalDepth) return;
  switch (value.kind()) {
    case json::Kind::kDouble: {
      const double f = value.as_double();
      if (std::trunc(f) == f && std::fabs(f) <= static_cast<double>(events::kMaxSafeInteger)) {
        value = static_cast<std::int64_t>(f);
      }
      return;
    }
    case json::Kind::kArray:
      for (json::Value& element : value.as_array()) canonicalize_at(element, depth + 1);
      return;
    case json::Kind::kObject:
      for (json::Member& member : value.as_object()) canonicalize_at(member.value, depth + 1);
      return;
    default: return;
  }
}

}  // namespace

void canonicalize_numbers(json::Value& value) { canonicalize_at(value, 0); }

}  // namespace kest::session
