#include <gtest/gtest.h>

#include <string>

#include "fixtures.hpp"
#include "kest/digest_generator.hpp"
#include "kest/epoch.hpp"

namespace kest::epoch {
namespace {

using testing::doc;

TEST(DeriveEpochPrng, DigestOfWorldIdAndLittleEndianEpoch) {
  auto rng = derive_epoch_prng("w1", 1);
  ASSERT_TRUE(rng.has_value());
  EXPECT_EQ(rng->state(), 15823655777346149908ULL);
  EXPECT_EQ(rng->inc(), 1307709270697928331ULL);
  EXPECT_EQ(rng->steps(), 0U);
  EXPECT_EQ(rng->next(), 1668793998U);  // no seeding step before the first draw
  EXPECT_EQ(*derive_epoch_prng("w1", -3),
            events::generator_from_sha256(std::string("w1\xFD\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 10)));
  EXPECT_EQ(derive_epoch_prng("e\xCC\x81", 1).error(), "world-epoch: non-NFC world_id (normalize to NFC first)");
  EXPECT_TRUE(derive_epoch_prng("\xC3\xA9", 1).has_value());
}

TEST(ParseActionKind, ReadsTheMemberTheKindNames) {
  struct Case {
    const char* definition;
    const char* outcome;  // "check", "mutations" or the message
  };
  for (const Case& c : {
           Case{R"({"kind": "check", "check": null, "mutations": []})", "check"},
           Case{R"({"kind": "mutations", "mutations": 5})", "mutations"},
           Case{R"({"kind": "check", "mutations": []})", "world-epoch: check action missing check"},
           Case{R"({"kind": "mutations", "check": {}})", "world-epoch: mutations action missing mutations"},
           Case{R"({"kind": "Check", "check": {}})", "world-epoch: action has unknown kind"},
           Case{R"({"kind": 1})", "world-epoch: action has unknown kind"},
           Case{R"(["check"])", "world-epoch: action has unknown kind"},
       }) {
    const json::Value definition = doc(c.definition);
    auto kind = parse_action_kind(definition);
    if (!kind) {
      EXPECT_EQ(kind.error(), c.outcome) << c.definition;
      continue;
    }
    const bool check = kind->type == ActionKind::Type::kCheck;
    EXPECT_EQ(check ? "check" : "mutations", std::string(c.outcome)) << c.definition;
    EXPECT_EQ(kind->rule, definition.find(c.outcome)) << c.definition;
  }
}

TEST(VettedActions, VetsEachActionOnceAndKeepsItsFault) {
  const json::Value ruleset = doc(R"({
    "strike": {"kind": "mutations", "mutations": [{"type": "add_tag", "target": "self", "tag": "x"}]},
    "broken": {"kind": "check", "check": {}},
    "odd": {"kind": "spell"}})");
  VettedActions actions(ruleset);
  auto strike = actions.find("strike");
  ASSERT_TRUE(strike.has_value());
  EXPECT_TRUE(std::holds_alternative<ruleset::ValidatedTrigger>(**strike));
  EXPECT_EQ(actions.find("strike"), strike);  // the same vetted rule, not a second one
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(actions.find("broken"), std::unexpected(ActionRejection::kInvalidAction));
    EXPECT_EQ(actions.find("odd"), std::unexpected(ActionRejection::kInvalidAction));
    EXPECT_EQ(actions.find("missing"), std::unexpected(ActionRejection::kUnknownAction));
  }
  const json::Value not_an_object = doc("[1]");
  EXPECT_EQ(VettedActions(not_an_object).find("0"), std::unexpected(ActionRejection::kUnknownAction));
}

TEST(SerializeMutation, LeavesOutTheFieldsAMutationLacks) {
  ruleset::AppliedMutation tag{ruleset::MutationOp::kAddTag, "a", std::nullopt, "x", std::nullopt, std::nullopt};
  EXPECT_EQ(json::write(serialize_mutation(tag)), R"({"op":"add_tag","tag":"x","target":"a"})");
  ruleset::AppliedMutation property{ruleset::MutationOp::kSetProp, "7", "hp", std::nullopt, -2, 0};
  EXPECT_EQ(json::write(serialize_mutation(property)),
            R"({"next":0,"op":"set_prop","previous":-2,"property":"hp","target":"7"})");
}

}  // namespace
}  // namespace kest::epoch
