// Documents shared by the frame tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "kest/frame.hpp"
#include "kest/json.hpp"
#include "kest/json_testing.hpp"

namespace kest::frame::testing {

using kest::test_support::doc;

// "strike" always succeeds (1d20 against 0) and hurts its target, so without one it fails after
// drawing its roll; "gamble" draws a d20 into the actor's "luck"; "reckless" draws like "gamble"
// and then fails without a target; "rest" draws nothing. The last three are invalid.
inline const json::Value& test_ruleset() {
  static const json::Value ruleset = doc(R"({
    "strike": {"kind": "check", "check": {"type": "check",
      "roll": {"type": "dice", "equation": "1d20"}, "dc": {"type": "literal", "value": 0},
      "degrees": {"success": {"condition": {"type": "delta_gte", "value": 0}, "mutations": [
        {"type": "sub_prop", "target": "target", "property": "hp", "value": {"type": "literal", "value": 3}}]}}}},
    "gamble": {"kind": "mutations", "mutations": [
      {"type": "add_prop", "target": "actor", "property": "luck", "value": {"type": "dice", "equation": "1d20"}}]},
    "reckless": {"kind": "mutations", "mutations": [
      {"type": "add_prop", "target": "actor", "property": "luck", "value": {"type": "dice", "equation": "1d20"}},
      {"type": "add_prop", "target": "target", "property": "hp", "value": {"type": "dice", "equation": "1d6"}}]},
    "rest": {"kind": "mutations", "mutations": [
      {"type": "add_prop", "target": "actor", "property": "hp", "value": {"type": "literal", "value": 1}}]},
    "broken": {"kind": "mutations", "mutations": {}},
    "bare": {"kind": "check"},
    "odd": {"kind": "roll"}
  })");
  return ruleset;
}

// Players "9", "10" and "b" control "e9", "e10" and "eb"; "blank" and "number" map to no entity.
inline const json::Value& test_players() {
  static const json::Value players = doc(R"({"9": "e9", "10": "e10", "b": "eb", "blank": "", "number": 5})");
  return players;
}

// "player:action:degree-or-reason" for each record of a "FrameResolved" event, in order.
inline std::vector<std::string> records(const json::Value& event) {
  std::vector<std::string> lines;
  for (const json::Value& record : event["commands_processed"].as_array()) {
    const json::Value& outcome = record.find("degree") ? record["degree"] : record["reason"];
    lines.push_back(record["player_id"].as_string() + ":" + record["action_id"].as_string() + ":" +
                    outcome.as_string());
  }
  return lines;
}

}  // namespace kest::frame::testing
