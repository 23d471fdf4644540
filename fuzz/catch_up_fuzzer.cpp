// Epoch catch-up from its input text: deterministic, and never anything but an output document or
// one of the epoch's messages.
#include "kest/epoch.hpp"
#include "whole_request.hpp"

namespace {

// Catch-up resolves up to "maxCatchup" epochs, a bound the caller may set as high as 2^53 - 1;
// inputs asking for more than a few are left out so that every run ends quickly.
constexpr std::uint64_t kMostEpochs = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kest;
  std::string_view text = fuzz::text_of(data, size);
  if (auto document = json::parse(text)) {
    auto bound = fuzz::unsigned_member(*document, "maxCatchup");
    if (bound && fuzz::accepted_but_above(*bound, kMostEpochs)) return fuzz::kRejectInput;
  }
  fuzz::check_whole_request(epoch::catch_up_epochs_from_json, text, {"world-epoch: "});
  return 0;
}
