// One epoch tick from its input text: deterministic, and never anything but an output document or
// one of the epoch's messages.
#include "kest/epoch.hpp"
#include "whole_request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kest::fuzz::check_whole_request(kest::epoch::tick_epoch_from_json, kest::fuzz::text_of(data, size),
                                  {"world-epoch: "});
  return 0;
}
