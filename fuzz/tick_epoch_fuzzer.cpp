// One epoch tick from its input text: deterministic, and never anything but an output document or
// one of the epoch's messages.
#include "grown_world.hpp"
#include "kest/epoch.hpp"
#include "whole_request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = kest::fuzz::grown_input(kest::fuzz::text_of(data, size), "state");
  kest::fuzz::check_whole_request(kest::epoch::tick_epoch_from_json, input, {"world-epoch: "});
  return 0;
}
