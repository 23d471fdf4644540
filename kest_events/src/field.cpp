#include "kest/canonical.hpp"
#include "kest/utf8.hpp"

namespace kest::events {

void append_field(std::string& out, std::string_view s) {
  out.append(std::to_string(json::utf16_length(s)));
  out.push_back(':');
  out.append(s);
}

std::string field(std::string_view s) {
  std::string out;
  append_field(out, s);
  return out;
}

std::string_view canon_error_name(CanonError error) noexcept {
  switch (error) {
    case CanonError::kNonIntegerNumber: return "NonIntegerNumber";
    case CanonError::kUnsafeInteger: return "UnsafeInteger";
    case CanonError::kNegativeZero: return "NegativeZero";
    case CanonError::kForbiddenKey: return "ForbiddenKey";
    case CanonError::kDepthExceeded: return "DepthExceeded";
    case CanonError::kNonNfc: return "NonNfc";
  }
  return "NonNfc";
}

}  // namespace kest::events
