// One frame tick from its input text: deterministic, and never anything but an output document or
// one of the frame's messages.
#include "kest/frame.hpp"
#include "whole_request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kest::fuzz::check_whole_request(kest::frame::tick_frame_from_json, kest::fuzz::text_of(data, size),
                                  {"world-frame: "});
  return 0;
}
