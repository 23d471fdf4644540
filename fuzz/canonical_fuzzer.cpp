// Canonical JSON: a canonical text parses back to the value it was made from (its integral
// floats read as the integers they equal), and canonicalising it again gives the same text. The
// one-pass canonical text of the input, when it answers, is the one the value gives.
#include "harness.hpp"
#include "kest/canonical.hpp"
#include "kest/utf8.hpp"

namespace {

using kest::json::Value;

// The value as canonical text shows it: a float that has a canonical form is an integral one
// within the JS-safe range, which the text writes as a plain integer.
Value with_integral_floats_as_integers(const Value& value) {
  switch (value.kind()) {
    case kest::json::Kind::kDouble: {
      double d = value.as_double();
      return d < 0 ? Value(static_cast<std::int64_t>(d)) : Value(static_cast<std::uint64_t>(d));
    }
    case kest::json::Kind::kArray: {
      kest::json::Array elements;
      for (const Value& element : value.as_array()) elements.push_back(with_integral_floats_as_integers(element));
      return elements;
    }
    case kest::json::Kind::kObject: {
      kest::json::Object members;
      for (const auto& [key, member] : value.as_object()) {
        members.insert_or_assign(key, with_integral_floats_as_integers(member));
      }
      return members;
    }
    default: return value;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kest;
  std::string_view text = fuzz::text_of(data, size);
  auto one_pass = events::canonical_json_of_text(text);
  auto parsed = json::parse(text);
  fuzz::require(parsed.has_value() || !one_pass, "the one pass answers only for text that parses");
  if (!parsed) return fuzz::kRejectInput;

  auto canonical = events::canonical_json(*parsed);
  if (one_pass) {
    fuzz::require(canonical.has_value() && one_pass->text() == *canonical, "the one pass gives the canonical text");
    fuzz::require(one_pass->utf16_length == json::utf16_length(*canonical), "and its UTF-16 length");
  }
  std::string out = "prefix";
  auto appended = events::append_canonical_json(out, *parsed);
  fuzz::require(appended.has_value() == canonical.has_value(), "appending fails exactly when canonicalising does");
  if (!canonical) {
    fuzz::require(appended.error() == canonical.error(), "appending fails with the same kind");
    fuzz::require(out == "prefix", "a failed append leaves its output as it was");
    return 0;
  }
  fuzz::require(out == "prefix" + *canonical, "appending appends the canonical text");

  auto reparsed = json::parse(*canonical);
  fuzz::require(reparsed.has_value(), "a canonical text parses");
  fuzz::require(*reparsed == with_integral_floats_as_integers(*parsed), "a canonical text parses back to its value");
  auto again = events::canonical_json(*reparsed);
  fuzz::require(again.has_value() && *again == *canonical, "canonicalising a canonical text changes nothing");
  return 0;
}
