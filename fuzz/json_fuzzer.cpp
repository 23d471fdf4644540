// The JSON parser and writer: a parsed document written and parsed again is the same document,
// and writing it again gives the same text.
#include <string>

#include "harness.hpp"
#include "kest/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kest;
  auto parsed = json::parse(fuzz::text_of(data, size));
  if (!parsed) return 0;
  std::string written = json::write(*parsed);
  auto reparsed = json::parse(written);
  fuzz::require(reparsed.has_value(), "written text parses");
  fuzz::require(*reparsed == *parsed, "written text parses back to the same document");
  fuzz::require(json::write(*reparsed) == written, "writing is a fixed point");
  return 0;
}
