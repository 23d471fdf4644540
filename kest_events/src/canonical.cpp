// The canonical writer. It appends straight into the caller's buffer and walks object members in
// the order the value already holds them (byte order of the keys) whenever that is UTF-16 order
// too, which is every object whose keys do not mix characters above U+FFFF with U+E000..U+FFFF.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <ranges>
#include <utility>
#include <vector>

#include "canonical_keys.hpp"
#include "kest/canonical.hpp"
#include "kest/utf8.hpp"

namespace kest::events {
namespace {

// Each writer appends its piece or names the canonical-form fault that stopped it.
using Appended = std::expected<void, CanonError>;

// Integral floats in [-2^63, 2^64] are read as integers (and so fail as unsafe ones when too
// large); integral floats beyond that range are not numbers the canonical form knows at all.
constexpr double kLowestIntegralFloat = -9223372036854775808.0;   // -2^63
constexpr double kHighestIntegralFloat = 18446744073709551616.0;  // 2^64

template <typename T>
void append_decimal(std::string& out, T n) {
  std::array<char, 24> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), n);
  out.append(buffer.data(), end);
}

Appended append_uint(std::string& out, std::uint64_t n) {
  if (n > static_cast<std::uint64_t>(kMaxSafeInteger)) return std::unexpected(CanonError::kUnsafeInteger);
  append_decimal(out, n);
  return {};
}

Appended append_int(std::string& out, std::int64_t n) {
  if (!is_js_safe(n)) return std::unexpected(CanonError::kUnsafeInteger);
  append_decimal(out, n);
  return {};
}

Appended append_float(std::string& out, double f) {
  if (!std::isfinite(f)) return std::unexpected(CanonError::kNonIntegerNumber);
  if (f == 0.0 && std::signbit(f)) return std::unexpected(CanonError::kNegativeZero);
  if (std::trunc(f) != f) return std::unexpected(CanonError::kNonIntegerNumber);
  if (f < kLowestIntegralFloat || f > kHighestIntegralFloat) return std::unexpected(CanonError::kNonIntegerNumber);
  if (std::fabs(f) > static_cast<double>(kMaxSafeInteger)) return std::unexpected(CanonError::kUnsafeInteger);
  append_decimal(out, static_cast<std::int64_t>(f));
  return {};
}

Appended append_text(std::string& out, std::string_view s) {
  if (auto nfc = assert_nfc(s); !nfc) return nfc;
  json::write_string(out, s);
  return {};
}

Appended append_value(std::string& out, const json::Value& value, std::size_t depth);

Appended append_array(std::string& out, const json::Array& array, std::size_t depth) {
  out.push_back('[');
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (i > 0) out.push_back(',');
    if (auto element = append_value(out, array[i], depth + 1); !element) return element;
  }
  out.push_back(']');
  return {};
}

bool utf16_key_less(const json::Member& a, const json::Member& b) { return json::utf16_less(a.key, b.key); }

// Writes "{", the members in the order `members` yields them, and "}".
template <std::ranges::input_range Members>
Appended append_members(std::string& out, Members&& members, std::size_t depth) {
  out.push_back('{');
  bool first = true;
  for (const json::Member& member : members) {
    if (!std::exchange(first, false)) out.push_back(',');
    if (auto key = append_text(out, member.key); !key) return key;
    out.push_back(':');
    if (auto written = append_value(out, member.value, depth + 1); !written) return written;
  }
  out.push_back('}');
  return {};
}

Appended append_object(std::string& out, const json::Object& object, std::size_t depth) {
  // One look at the keys before any member is written: a "__proto__" anywhere decides, and
  // keys without the characters that UTF-16 orders differently leave byte order standing.
  bool order_in_doubt = false;
  for (const json::Member& member : object) {
    if (std::string_view(member.key) == kForbiddenKeyText) return std::unexpected(CanonError::kForbiddenKey);
    order_in_doubt = order_in_doubt || may_sort_apart_from_byte_order(member.key);
  }
  if (!order_in_doubt || std::is_sorted(object.begin(), object.end(), utf16_key_less)) {
    return append_members(out, object, depth);
  }
  std::vector<const json::Member*> ordered;
  ordered.reserve(object.size());
  for (const json::Member& member : object) ordered.push_back(&member);
  std::sort(ordered.begin(), ordered.end(),
            [](const json::Member* a, const json::Member* b) { return utf16_key_less(*a, *b); });
  return append_members(
      out, ordered | std::views::transform([](const json::Member* m) -> const json::Member& { return *m; }), depth);
}

// Recursion is bounded: a value deeper than the limit fails before anything below it is entered.
Appended append_value(std::string& out, const json::Value& value, std::size_t depth) {
  if (depth > kMaxCanonicalDepth) return std::unexpected(CanonError::kDepthExceeded);
  switch (value.kind()) {
    case json::Kind::kNull: out.append("null"); return {};
    case json::Kind::kBool: out.append(value.as_bool() ? "true" : "false"); return {};
    case json::Kind::kUint: return append_uint(out, value.as_uint());
    case json::Kind::kInt: return append_int(out, value.as_int());
    case json::Kind::kDouble: return append_float(out, value.as_double());
    case json::Kind::kString: return append_text(out, value.as_string());
    case json::Kind::kArray: return append_array(out, value.as_array(), depth);
    case json::Kind::kObject: return append_object(out, value.as_object(), depth);
  }
  return {};
}

}  // namespace

std::expected<void, CanonError> append_canonical_json(std::string& out, const json::Value& value, std::size_t depth) {
  const std::size_t start = out.size();
  Appended written = append_value(out, value, depth);
  if (!written) out.resize(start);
  return written;
}

std::expected<std::string, CanonError> canonical_json(const json::Value& value, std::size_t depth) {
  std::string out;
  if (auto written = append_canonical_json(out, value, depth); !written) return std::unexpected(written.error());
  return out;
}

std::string js_json_string(std::string_view s) {
  std::string out;
  json::write_string(out, s);
  return out;
}

}  // namespace kest::events
