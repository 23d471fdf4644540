// The commands of one frame in the order they are resolved.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "kest/frame.hpp"

namespace kest::frame {

// A command with its two sort keys, read once before sorting.
struct OrderedCommand {
  const json::Value* command;  // an element of the frame's command array
  std::string_view player_id;
  std::int64_t seq;
};

// The elements of `commands` (none unless it is an array) by "playerId" in id order, then by
// "seq", equal keys in input order. So the commands of one player are adjacent. Fails with
// `validate_commands`' message when an element lacks a key.
Result<std::vector<OrderedCommand>> order_commands(const json::Value& commands);

}  // namespace kest::frame
