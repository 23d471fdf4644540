// Rollback reconciliation from its input text: deterministic, never anything but an output
// document or one of the frame's messages, and a replay that ends as the server's own frame ticks
// of the same frames end, event for event.
#include <string>

#include "grown_world.hpp"
#include "kest/frame.hpp"
#include "whole_request.hpp"

namespace {

using namespace kest;

// The replay window admits up to 4096 frames; inputs asking for more than a few dozen are left
// out so that the fuzzer spends its time on varied inputs rather than on long empty replays.
constexpr std::uint64_t kMostFrames = 64;
constexpr std::uint64_t kWindow = 4096;

bool replays_many_frames(const json::Value& document) {
  auto to_frame = fuzz::unsigned_member(document, "toFrame");
  auto base = fuzz::unsigned_member(document["correctedState"], "frame");
  if (!to_frame || !base || *to_frame < *base) return false;
  std::uint64_t frames = *to_frame - *base;
  return frames > kMostFrames && frames <= kWindow;
}

// Ticks the frames of the window one call at a time, as the server did, and compares each frame's
// event and the final state with the replay's output.
void require_same_as_frame_ticks(const json::Value& input, const json::Value& output) {
  json::Object tick;
  for (std::string_view member : {"worldId", "ruleset", "playerEntities", "maxCommandsPerPlayer", "maxCommands"}) {
    if (const json::Value* value = input.find(member)) tick.insert_or_assign(std::string(member), *value);
  }
  json::Value state = input["correctedState"];
  const json::Array& events = output["events"].as_array();
  std::uint64_t frame = input["correctedState"]["frame"].as_uint();
  for (const json::Value& event : events) {
    ++frame;
    const json::Value* commands = input["commandsByFrame"].find(std::to_string(frame));
    tick.insert_or_assign("commands", commands != nullptr ? *commands : json::Array{});
    tick.insert_or_assign("frameNumber", frame);
    tick.insert_or_assign("state", std::move(state));
    auto ticked = frame::tick_frame_from_json(json::write(tick));
    fuzz::require(ticked.has_value(), "every frame of a successful replay ticks");
    auto ticked_output = json::parse(*ticked);
    fuzz::require(ticked_output.has_value() && (*ticked_output)["event"] == event,
                  "a replayed frame's event is the frame tick's event");
    state = std::move(*ticked_output->find("state"));
  }
  fuzz::require(state == output["state"], "a replay ends in the state the frame ticks end in");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::grown_input(fuzz::text_of(data, size), "correctedState");
  auto input = json::parse(text);
  if (input && replays_many_frames(*input)) return fuzz::kRejectInput;
  auto result = fuzz::check_whole_request(frame::reconcile_frames_from_json, text, {"world-frame: "});
  if (result) require_same_as_frame_ticks(*input, *json::parse(*result));
  return 0;
}
