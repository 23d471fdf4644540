// The canonical JSON text of a value (what is signed or hashed), its value rules, the NFC test
// and the length-prefixed framing every HMAC message is built from.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read. The NFC test
// reads ICU's shared normaliser, which ICU makes once and never changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kest/json.hpp"
#include "kest/readers.hpp"

namespace kest::events {

// Why a value has no canonical form.
enum class CanonError : std::uint8_t {
  kNonIntegerNumber,
  kUnsafeInteger,
  kNegativeZero,
  kForbiddenKey,
  kDepthExceeded,
  kNonNfc,
};

// The kind's name exactly as messages show it ("NonIntegerNumber", ...).
std::string_view canon_error_name(CanonError error) noexcept;

// The canonical form holds integers in the JS-safe range only.
using json::is_js_safe;
using json::kMaxSafeInteger;

// Values may lie this many levels below the root; one more is `DepthExceeded`.
inline constexpr std::size_t kMaxCanonicalDepth = 256;

// The canonical text of `value` lying `depth` levels below the root: integers only and only
// JS-safe ones, no negative zero, strings and keys in NFC, no "__proto__" key, object members
// in UTF-16 order of their keys, no whitespace. Of several faults, the first met in document
// order is reported (an object's "__proto__" before anything inside it, a key before its value).
std::expected<std::string, CanonError> canonical_json(const json::Value& value, std::size_t depth = 0);

// Appends the canonical text to `out`; on failure `out` is left as it was.
std::expected<void, CanonError> append_canonical_json(std::string& out, const json::Value& value,
                                                      std::size_t depth = 0);

// A canonical text with its length in UTF-16 code units, as its field frames it. The text lies
// at the start of a buffer sized for the text it was found in.
struct CanonicalText {
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
  std::size_t utf16_length = 0;

  std::string_view text() const noexcept { return {bytes.get(), size}; }
};

// The canonical text of a JSON text, found in one pass without building values, for the texts
// this pass is sure of: strict JSON (as json::parse reads it) holding nothing but null, booleans,
// JS-safe integers written without fraction or exponent, NFC strings without escapes, arrays, and
// objects without a repeated or "__proto__" key. For any other text, every one that fails to
// parse or has no canonical form among them, it gives nothing, and the caller takes the general
// path (json::parse, then canonical_json), which decides the outcome.
std::optional<CanonicalText> canonical_json_of_text(std::string_view text);

// `s` quoted as ECMAScript's JSON.stringify quotes a well-formed string.
std::string js_json_string(std::string_view s);

// Succeeds when `s` (well-formed UTF-8) equals its Unicode Normalization Form C.
std::expected<void, CanonError> assert_nfc(std::string_view s);

// The decimal UTF-16 length of `s`, ":", then `s`: "3:abc".
std::string field(std::string_view s);
void append_field(std::string& out, std::string_view s);

}  // namespace kest::events
