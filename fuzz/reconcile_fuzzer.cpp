// Rollback reconciliation from its input text: deterministic, and never anything but an output
// document or one of the frame's messages.
#include "kest/frame.hpp"
#include "whole_request.hpp"

namespace {

// The replay window admits up to 4096 frames; inputs asking for more than a few dozen are left
// out so that the fuzzer spends its time on varied inputs rather than on long empty replays.
constexpr std::uint64_t kMostFrames = 64;
constexpr std::uint64_t kWindow = 4096;

bool replays_many_frames(const kest::json::Value& document) {
  auto to_frame = kest::fuzz::unsigned_member(document, "toFrame");
  auto base = kest::fuzz::unsigned_member(document["correctedState"], "frame");
  if (!to_frame || !base || *to_frame < *base) return false;
  std::uint64_t frames = *to_frame - *base;
  return frames > kMostFrames && frames <= kWindow;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kest;
  std::string_view text = fuzz::text_of(data, size);
  if (auto document = json::parse(text); document && replays_many_frames(*document)) return fuzz::kRejectInput;
  fuzz::check_whole_request(frame::reconcile_frames_from_json, text, {"world-frame: "});
  return 0;
}
