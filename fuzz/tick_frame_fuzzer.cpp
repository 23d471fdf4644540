// One frame tick from its input text: deterministic, never anything but an output document or one
// of the frame's messages, and independent of the order the commands arrived in.
#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include "grown_world.hpp"
#include "kest/frame.hpp"
#include "whole_request.hpp"

namespace {

using namespace kest;

// Commands run in the order of their (playerId, seq) keys; only commands with equal keys keep
// their arrival order. So when all keys differ, the reversed list gives the same frame.
void require_arrival_order_irrelevant(json::Value input, std::string_view output) {
  json::Array* commands = input.find("commands")->if_array();
  if (commands == nullptr) return;
  std::set<std::pair<std::string, std::string>> keys;
  for (const json::Value& command : *commands)
    keys.emplace(command["playerId"].as_string(), json::write(command["seq"]));
  if (keys.size() != commands->size()) return;
  std::ranges::reverse(*commands);
  auto reversed = frame::tick_frame_from_json(json::write(input));
  fuzz::require(reversed.has_value() && *reversed == output, "the order commands arrive in does not matter");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::grown_input(fuzz::text_of(data, size), "state");
  auto result = fuzz::check_whole_request(frame::tick_frame_from_json, text, {"world-frame: "});
  if (result) {
    auto input = json::parse(text);
    if (input->find("commands") != nullptr) require_arrival_order_irrelevant(std::move(*input), *result);
  }
  return 0;
}
