#include <gtest/gtest.h>

#include "kest/json_testing.hpp"
#include "kest/signing.hpp"
#include "kest/snapshot.hpp"

namespace kest::snapshot {
namespace {

using kest::test_support::doc;

using events::CanonError;

constexpr std::string_view kKey = "key";

std::string hash_of(std::string_view text) { return world_state_hash(kKey, doc(text)).value(); }

TEST(WorldStateHash, IsTheMacOfTheFramedTagAndCanonicalText) {
  EXPECT_EQ(hash_of(R"({"entities":{}})"),
            events::hmac_sha256_hex_bytes(kKey, R"(15:kest.snapshot/115:{"entities":{}})"));
  EXPECT_EQ(hash_of(R"({"entities":{}})"), "658bb97cb06e4058bd40762aa5220f3957cbfad88be49d63182124ed927a6ddf");
  // The frame counts UTF-16 code units of the canonical text, not its bytes.
  EXPECT_EQ(hash_of("[\"\U0001F600\u00e9\"]"),
            events::hmac_sha256_hex_bytes(kKey, "15:kest.snapshot/17:[\"\U0001F600\u00e9\"]"));
}

TEST(WorldStateHash, IgnoresMemberOrderAndWhitespaceOfTheText) {
  EXPECT_EQ(hash_of(R"({"entities":{"b":{"tags":[],"hp":2},"a":{}},"epoch":1})"),
            hash_of(R"( { "epoch" : 1 , "entities" : { "a" : { } , "b" : { "hp" : 2 , "tags" : [ ] } } } )"));
  EXPECT_EQ(hash_of(R"({"n":2.0})"), hash_of(R"({"n":2})"));
  EXPECT_NE(hash_of(R"({"n":2})"), world_state_hash("other key", doc(R"({"n":2})")).value());
}

TEST(WorldStateHash, FailsForStatesWithoutACanonicalForm) {
  EXPECT_EQ(world_state_hash(kKey, doc(R"({"n":1.5})")), std::unexpected(CanonError::kNonIntegerNumber));
  EXPECT_EQ(world_state_hash(kKey, doc(R"({"a":{"__proto__":0}})")), std::unexpected(CanonError::kForbiddenKey));
}

TEST(WorldStateHashOfText, IsTheHashOfTheParsedStateOrTheFirstFault) {
  // Read in one pass, through the general path (an escape, a float), and with keys out of order.
  for (const char* text : {"{\"b\":[1,2],\"a\":\"\u00e9\"}", R"({"b":[1,2],"a":"\u00e9"})", R"({"n":2.0})"}) {
    EXPECT_EQ(world_state_hash_of_text(kKey, text), hash_of(text)) << text;
  }
  auto unparsed = world_state_hash_of_text(kKey, "{");
  ASSERT_FALSE(unparsed);
  EXPECT_TRUE(std::holds_alternative<std::string>(unparsed.error()));
  EXPECT_EQ(world_state_hash_of_text(kKey, R"({"a":[0.5],"__proto__":1})"),
            std::unexpected(StateTextError(CanonError::kForbiddenKey)));
}

TEST(GlobalRegionHash, OfNoRegionsIsTheHashOfTheEmptyObject) {
  const std::string empty_hash = hash_of("{}");
  for (const char* regions : {"{}", "[]", "null", "7", R"("r")", R"([{"r":1}])"}) {
    EXPECT_EQ(global_region_hash(kKey, doc(regions)), empty_hash) << regions;
  }
}

TEST(GlobalRegionHash, IsTheHashOfTheObjectOfRegionHashes) {
  json::Value regions = doc(R"({"r2":{"entities":{}},"r1":[1,2],"\uE000":{},"\uD800\uDC00":null})");
  auto leaves = region_leaves(kKey, regions);
  ASSERT_TRUE(leaves);
  EXPECT_EQ(*leaves, json::Value(json::Object{{"r1", hash_of("[1,2]")},
                                              {"r2", hash_of(R"({"entities":{}})")},
                                              {"\uE000", hash_of("{}")},
                                              {"\U00010000", hash_of("null")}}));
  EXPECT_EQ(global_region_hash(kKey, regions), world_state_hash(kKey, *leaves));
  // One region: the root is the hash of {"r": hash of its state}.
  json::Object single{{"r", hash_of(R"({"entities":{}})")}};
  EXPECT_EQ(global_region_hash(kKey, doc(R"({"r":{"entities":{}}})")), world_state_hash(kKey, single));
}

TEST(GlobalRegionHash, ReportsTheFirstFaultyRegionInByteOrder) {
  EXPECT_EQ(global_region_hash(kKey, doc(R"({"b":0.5,"a":-0,"c":{"__proto__":1}})")),
            std::unexpected(CanonError::kNegativeZero));
  EXPECT_EQ(region_leaves(kKey, doc(R"({"b":0.5,"a":1})")), std::unexpected(CanonError::kNonIntegerNumber));
}

TEST(GlobalRegionHash, IdentifiersMustBeCanonicalKeysOfTheLeaves) {
  EXPECT_EQ(global_region_hash(kKey, doc(R"({"__proto__":{},"a":{}})")), std::unexpected(CanonError::kForbiddenKey));
  EXPECT_EQ(global_region_hash(kKey, doc("{\"e\u0301\":{}}")), std::unexpected(CanonError::kNonNfc));
  // The region states are hashed first: a faulty state is reported over a faulty identifier.
  EXPECT_EQ(global_region_hash(kKey, doc(R"({"__proto__":{},"z":0.5})")),
            std::unexpected(CanonError::kNonIntegerNumber));
}

TEST(NormalizeTags, DropsRepeatsAndSortsByUtf16CodeUnits) {
  EXPECT_EQ(normalize_tags({"b", "a", "b"}), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(normalize_tags({"\uE000", "\U00010000", "\uE000"}), (std::vector<std::string>{"\U00010000", "\uE000"}));
  EXPECT_TRUE(normalize_tags({}).empty());
}

}  // namespace
}  // namespace kest::snapshot
