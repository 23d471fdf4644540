#include <gtest/gtest.h>

#include "../src/canonical_numbers.hpp"
#include "bundles.hpp"
#include "kest/session.hpp"

namespace kest::session {
namespace {

using namespace testing;

// A resume input around a genuine bundle, with `extra` members replacing or adding to the
// defaults ("key", "bundle", "currentEpoch" 2, "maxCatchup" 1).
std::string input_with(std::string_view extra) {
  json::Value input = doc(extra.empty() ? "{}" : extra);
  json::Object defaults{{"key", kKey}, {"bundle", suspend(live_chain(2), 1)}, {"currentEpoch", 2}, {"maxCatchup", 1}};
  for (json::Member& member : defaults) {
    if (!input.as_object().contains(member.key))
      input.as_object().insert_or_assign(member.key, std::move(member.value));
  }
  return json::write(input);
}

TEST(ResumeFromJson, ChecksItsInputInOrder) {
  struct Case {
    std::string input;
    std::string message;
  };
  for (const Case& c : {
           Case{"{", "world-session: bad input json: "},
           Case{"[]", "world-session: missing key"},
           Case{input_with(R"({"key": ["k"]})"), "world-session: missing key"},
           Case{R"({"key": "k", "currentEpoch": "x"})", "world-session: missing bundle"},
           Case{input_with(R"({"currentEpoch": 2.0, "maxCatchup": null})"), "world-session: missing currentEpoch"},
           Case{input_with(R"({"currentEpoch": 9223372036854775808})"), "world-session: missing currentEpoch"},
           Case{input_with(R"({"currentEpoch": -9007199254740992})"),
                "world-session: currentEpoch must be a JS-safe integer"},
           Case{input_with(R"({"maxCatchup": "1"})"), "world-session: missing maxCatchup"},
           Case{input_with(R"({"maxCatchup": -1})"),
                "world-session: maxCatchup must be a non-negative JS-safe integer"},
           Case{input_with(R"({"maxCatchup": 9007199254740992})"),
                "world-session: maxCatchup must be a non-negative JS-safe integer"},
           Case{input_with(R"({"maxActions": 1.0})"),
                "world-session: maxActions must be a non-negative JS-safe integer"},
           Case{input_with(R"({"maxActions": -1})"),
                "world-session: maxActions must be a non-negative JS-safe integer"},
           Case{input_with(R"({"expectedWorldId": 5, "bundle": null})"),
                "world-session: bundle worldId does not match expectedWorldId (cross-world or cross-path bundle "
                "rejected)"},
           Case{input_with(R"({"bundle": null})"), "world-session: bundle missing snapshot"},
           Case{input_with(R"({"key": "other key"})"), "world-session: corrupted snapshot (state hash mismatch)"},
       }) {
    auto output = resume_from_json(c.input);
    ASSERT_FALSE(output.has_value()) << c.input;
    EXPECT_TRUE(output.error().starts_with(c.message)) << output.error();
    if (!c.message.ends_with(": ")) {
      EXPECT_EQ(output.error(), c.message);
    }
  }
}

TEST(ResumeFromJson, WritesTheOutputDocument) {
  auto output = resume_from_json(input_with(
      R"({"currentEpoch": 4, "maxCatchup": 1, "expectedWorldId": "w1", "maxActions": null, "actorTags": [1, "x"]})"));
  ASSERT_TRUE(output.has_value()) << output.error();
  json::Value document = doc(*output);
  EXPECT_TRUE(output->starts_with(R"({"epochsResolved":1,"epochsVoided":1,"newEvents":[{)")) << *output;
  // Only "x" acts: nobody carries it, so the caught-up epoch resolves nothing.
  EXPECT_EQ(json::write(document["newEvents"].as_array().at(0)["actions_processed"]), "[]");
  EXPECT_EQ(json::write(document["state"]["epoch"]), "3");
  EXPECT_TRUE(output->ends_with(R"(,"worldId":"w1"})")) << *output;
}

TEST(CanonicalizeNumbers, ReadsIntegralFloatsAsIntegersAndLeavesTheRest) {
  json::Value value = doc(R"([5.0, -3.0, 0.0, 0.5, 1e300, {"a": [2.0], "b": "2.0"}, 7])");
  canonicalize_numbers(value);
  EXPECT_EQ(json::write(value), R"([5,-3,0,0.5,1e+300,{"a":[2],"b":"2.0"},7])");
}

}  // namespace
}  // namespace kest::session
