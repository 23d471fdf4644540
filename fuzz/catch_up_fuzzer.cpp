// Epoch catch-up from its input text: deterministic, never anything but an output document or one
// of the epoch's messages, and the same states and events as ticking the missed epochs one call
// at a time.
#include <string>

#include "grown_world.hpp"
#include "kest/epoch.hpp"
#include "whole_request.hpp"

namespace {

using namespace kest;

// Catch-up resolves up to "maxCatchup" epochs, a bound the caller may set as high as 2^53 - 1;
// inputs asking for more than a few are left out so that every run ends quickly.
constexpr std::uint64_t kMostEpochs = 8;

// The last epoch a state records: its "epoch" when that is an integer of 64 signed bits, else 0.
std::int64_t last_epoch(const json::Value& state) {
  const json::Value& epoch = state["epoch"];
  if (epoch.is_int()) return epoch.as_int();
  if (epoch.is_uint() && epoch.as_uint() <= static_cast<std::uint64_t>(INT64_MAX)) {
    return static_cast<std::int64_t>(epoch.as_uint());
  }
  return 0;
}

void require_same_as_epoch_ticks(const json::Value& input, const json::Value& output) {
  json::Object tick;
  for (std::string_view member : {"worldId", "ruleset", "actorTags", "maxActions"}) {
    if (const json::Value* value = input.find(member)) tick.insert_or_assign(std::string(member), *value);
  }
  json::Value state = input["state"];
  std::int64_t epoch = last_epoch(state);
  for (const json::Value& event : output["events"].as_array()) {
    ++epoch;
    const json::Value* proposals = input["proposalsByEpoch"].find(std::to_string(epoch));
    tick.insert_or_assign("proposals", proposals != nullptr && proposals->is_object() ? *proposals : json::Object{});
    tick.insert_or_assign("epochNumber", epoch);
    tick.insert_or_assign("state", std::move(state));
    auto ticked = epoch::tick_epoch_from_json(json::write(tick));
    fuzz::require(ticked.has_value(), "every epoch of a successful catch-up ticks");
    auto ticked_output = json::parse(*ticked);
    fuzz::require(ticked_output.has_value() && (*ticked_output)["event"] == event,
                  "a caught-up epoch's event is the epoch tick's event");
    state = std::move(*ticked_output->find("state"));
  }
  fuzz::require(state == output["state"], "catch-up ends in the state the epoch ticks end in");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::grown_input(fuzz::text_of(data, size), "state");
  auto input = json::parse(text);
  if (input) {
    auto bound = fuzz::unsigned_member(*input, "maxCatchup");
    if (bound && fuzz::accepted_but_above(*bound, kMostEpochs)) return fuzz::kRejectInput;
  }
  auto result = fuzz::check_whole_request(epoch::catch_up_epochs_from_json, text, {"world-epoch: "});
  if (result) require_same_as_epoch_ticks(*input, *json::parse(*result));
  return 0;
}
