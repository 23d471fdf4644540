// Documents shared by the epoch tests.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "kest/json.hpp"
#include "kest/json_testing.hpp"

namespace kest::epoch::testing {

using kest::test_support::doc;

// "strike" always succeeds (1d20 against 0) and hurts its target, so it fails without one after
// drawing its roll; "gamble" draws a d20 into the actor's "luck"; "reckless" draws like "gamble"
// and then fails without a target.
inline const json::Value& test_ruleset() {
  static const json::Value ruleset = doc(R"({
    "strike": {"kind": "check", "check": {"type": "check",
      "roll": {"type": "dice", "equation": "1d20"}, "dc": {"type": "literal", "value": 0},
      "degrees": {"success": {"condition": {"type": "delta_gte", "value": 0}, "mutations": [
        {"type": "sub_prop", "target": "target", "property": "hp", "value": {"type": "literal", "value": 3}}]}}}},
    "rest": {"kind": "mutations", "mutations": [
      {"type": "add_prop", "target": "actor", "property": "hp", "value": {"type": "literal", "value": 1}}]},
    "gamble": {"kind": "mutations", "mutations": [
      {"type": "add_prop", "target": "actor", "property": "luck", "value": {"type": "dice", "equation": "1d20"}}]},
    "reckless": {"kind": "mutations", "mutations": [
      {"type": "add_prop", "target": "actor", "property": "luck", "value": {"type": "dice", "equation": "1d20"}},
      {"type": "add_prop", "target": "target", "property": "hp", "value": {"type": "dice", "equation": "1d6"}}]},
    "recruit": {"kind": "mutations", "mutations": [
      {"type": "add_tag", "target": "target", "tag": "acts_offline"}]},
    "broken": {"kind": "mutations", "mutations": {}},
    "odd": {"kind": "roll"}
  })");
  return ruleset;
}

}  // namespace kest::epoch::testing
