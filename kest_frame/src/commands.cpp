// Command validation and the order in which a frame resolves its commands.
#include "commands.hpp"

#include <algorithm>

#include "kest/canonical.hpp"
#include "kest/ids.hpp"
#include "kest/readers.hpp"

namespace kest::frame {
namespace {

// The sort keys of one command: its "playerId" is checked before its "seq".
Result<OrderedCommand> keyed(const json::Value& command) {
  const std::string* player_id = command["playerId"].if_string();
  if (player_id == nullptr) return fail("world-frame: every command needs a string playerId");
  auto seq = json::integer_value(command["seq"]);
  if (!seq || !events::is_js_safe(*seq)) {
    return fail("world-frame: every command needs a JS-safe-integer seq");
  }
  return OrderedCommand{&command, *player_id, *seq};
}

}  // namespace

Result<void> validate_commands(const json::Value& commands) {
  const json::Array* elements = commands.if_array();
  if (elements == nullptr) return {};
  for (const json::Value& command : *elements) {
    KEST_RETURN_IF_ERROR(keyed(command));
  }
  return {};
}

Result<std::vector<OrderedCommand>> order_commands(const json::Value& commands) {
  std::vector<OrderedCommand> ordered;
  const json::Array* elements = commands.if_array();
  if (elements == nullptr) return ordered;
  ordered.reserve(elements->size());
  for (const json::Value& command : *elements) {
    KEST_ASSIGN_OR_RETURN(auto key, keyed(command));
    ordered.push_back(key);
  }
  // Stable, so commands equal on both keys keep their arrival order.
  std::ranges::stable_sort(ordered, [](const OrderedCommand& a, const OrderedCommand& b) {
    const int by_player = ruleset::compare_ids(a.player_id, b.player_id);
    return by_player != 0 ? by_player < 0 : a.seq < b.seq;
  });
  return ordered;
}

}  // namespace kest::frame
