#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "kest/chain.hpp"

namespace kest::events {
namespace {

constexpr std::string_view kKey = "server key";
constexpr std::string_view kGenesis = "genesis";

ChainedRecord signed_record(std::uint64_t seq, std::string type, json::Value payload, std::string prev_sig) {
  ChainedRecord record{seq, std::move(type), std::move(payload), std::move(prev_sig), ""};
  record.sig = sign_record(kKey, record.seq, record.type, record.payload, record.prev_sig).value();
  return record;
}

// Three correctly signed and linked records.
std::vector<ChainedRecord> chain() {
  std::vector<ChainedRecord> records;
  records.push_back(signed_record(0, "Spawn", json::Object{{"hp", 10}}, std::string(kGenesis)));
  records.push_back(signed_record(1, "Move", json::Object{{"x", 2}}, records.back().sig));
  records.push_back(signed_record(2, "Hit", json::Object{{"dmg", 3}}, records.back().sig));
  return records;
}

ChainSeal seal_over(std::uint64_t count, std::string head) {
  ChainSeal seal{std::move(head), "", count};
  seal.sig = hmac_sha256_hex_bytes(kKey, seal_message(seal.count, seal.head).value());
  return seal;
}

using Finding = ChainMismatch;

TEST(VerifyRecords, AcceptsAnIntactChainAndTheEmptyOne) {
  auto records = chain();
  EXPECT_TRUE(verify_records(kKey, records, kGenesis));
  EXPECT_FALSE(verify_records("other key", records, kGenesis));
  EXPECT_FALSE(verify_records(kKey, records, "another genesis"));
  EXPECT_TRUE(verify_records(kKey, {}, kGenesis));
  auto report = verify_records_detailed(kKey, records, kGenesis, seal_over(3, records.back().sig));
  EXPECT_TRUE(report.ok);
  EXPECT_EQ(report.record_count, 3u);
}

TEST(VerifyRecordsDetailed, ATamperedPayloadIsOneFindingForItsRecordOnly) {
  auto records = chain();
  records[1].payload = json::Object{{"x", 3}};
  auto report = verify_records_detailed(kKey, records, kGenesis);
  EXPECT_FALSE(report.ok);
  EXPECT_EQ(report.record_count, 3u);
  EXPECT_EQ(report.mismatches, (std::vector<Finding>{{"Move", 1, MismatchReason::kBadSignature}}));
}

TEST(VerifyRecordsDetailed, TheNextLinkFollowsTheStoredSignatureEvenWhenItIsWrong) {
  auto records = chain();
  records[0].sig = std::string(64, '0');
  records[1] = signed_record(1, "Move", json::Object{{"x", 2}}, records[0].sig);
  records[2] = signed_record(2, "Hit", json::Object{{"dmg", 3}}, records[1].sig);
  EXPECT_EQ(verify_records_detailed(kKey, records, kGenesis).mismatches,
            (std::vector<Finding>{{"Spawn", 0, MismatchReason::kBadSignature}}));
}

TEST(VerifyRecordsDetailed, ABrokenLinkIsReportedAfterABadSignatureOfTheSameRecord) {
  auto records = chain();
  records[2].prev_sig = "elsewhere";  // the stored sig was made over the old link, so it is bad too
  EXPECT_EQ(verify_records_detailed(kKey, records, kGenesis).mismatches,
            (std::vector<Finding>{{"Hit", 2, MismatchReason::kBadSignature}, {"Hit", 2, MismatchReason::kBrokenLink}}));
  records[2] = signed_record(2, "Hit", json::Object{{"dmg", 3}}, "elsewhere");
  EXPECT_EQ(verify_records_detailed(kKey, records, kGenesis).mismatches,
            (std::vector<Finding>{{"Hit", 2, MismatchReason::kBrokenLink}}));
}

TEST(VerifyRecordsDetailed, EveryRecordIsExaminedAndFindingsComeInOrder) {
  auto records = chain();
  records[0].type = "Spawned";
  records[2].sig[0] = records[2].sig[0] == 'a' ? 'b' : 'a';
  EXPECT_EQ(verify_records_detailed(kKey, records, "wrong").mismatches,
            (std::vector<Finding>{{"Spawned", 0, MismatchReason::kBadSignature},
                                  {"Spawned", 0, MismatchReason::kBrokenLink},
                                  {"Hit", 2, MismatchReason::kBadSignature}}));
}

TEST(VerifyRecordsDetailed, ARecordThatCannotBeSignedIsABadSignatureWithoutALinkCheck) {
  auto records = chain();
  records[1].payload = json::Value(0.5);
  records[1].prev_sig = "elsewhere";
  EXPECT_EQ(verify_records_detailed(kKey, records, kGenesis).mismatches,
            (std::vector<Finding>{{"Move", 1, MismatchReason::kBadSignature}}));
  records = chain();
  records[1].type = "e\u0301";
  EXPECT_EQ(verify_records_detailed(kKey, records, kGenesis).mismatches,
            (std::vector<Finding>{{"e\u0301", 1, MismatchReason::kBadSignature}}));
}

TEST(VerifyRecordsDetailed, SignaturesAreLowercaseHex) {
  auto records = chain();
  std::transform(records[0].sig.begin(), records[0].sig.end(), records[0].sig.begin(),
                 [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
  records[1] = signed_record(1, "Move", json::Object{{"x", 2}}, records[0].sig);
  records[2] = signed_record(2, "Hit", json::Object{{"dmg", 3}}, records[1].sig);
  EXPECT_EQ(verify_records_detailed(kKey, records, kGenesis).mismatches,
            (std::vector<Finding>{{"Spawn", 0, MismatchReason::kBadSignature}}));
}

struct SealCase {
  const char* name;
  std::size_t records;
  ChainSeal seal;
};

class SealCheck : public testing::TestWithParam<SealCase> {};

TEST_P(SealCheck, FailsAsOneSealFindingWithTheSealCount) {
  auto records = chain();
  records.resize(GetParam().records);
  auto report = verify_records_detailed(kKey, records, kGenesis, GetParam().seal);
  EXPECT_EQ(report.mismatches,
            (std::vector<Finding>{{"(seal)", GetParam().seal.count, MismatchReason::kSealMismatch}}));
  EXPECT_FALSE(report.ok);
}

INSTANTIATE_TEST_SUITE_P(Seals, SealCheck,
                         testing::Values(SealCase{"CountOneTooMany", 3, seal_over(4, chain().back().sig)},
                                         SealCase{"TruncatedTail", 2, seal_over(3, chain().back().sig)},
                                         SealCase{"HeadNotTheLastSig", 3, seal_over(3, chain()[1].sig)},
                                         SealCase{"ForgedSig", 3,
                                                  ChainSeal{chain().back().sig, std::string(64, 'a'), 3}},
                                         SealCase{"EmptyChainWithCount", 0, seal_over(1, std::string(kGenesis))},
                                         SealCase{"EmptyChainOtherHead", 0, seal_over(0, "x")}),
                         [](const auto& seal_case) { return std::string(seal_case.param.name); });

TEST(VerifyRecordsDetailed, AnEmptyChainHoldsASealOfCountZeroOverTheGenesis) {
  EXPECT_TRUE(verify_records_detailed(kKey, {}, kGenesis, seal_over(0, std::string(kGenesis))).ok);
}

TEST(VerifySeal, NeedsTheKeyAndAnNfcHead) {
  EXPECT_TRUE(verify_seal(kKey, seal_over(3, "abc")));
  EXPECT_FALSE(verify_seal("other key", seal_over(3, "abc")));
  ChainSeal seal = seal_over(3, "abc");
  seal.count = 4;
  EXPECT_FALSE(verify_seal(kKey, seal));
  // A seal signed over a head not in NFC never verifies: its message cannot be built.
  const std::string bad_head = "e\u0301";
  ChainSeal decomposed{bad_head, hmac_sha256_hex_bytes(kKey, "17:kest.chain.seal/11:32:" + bad_head), 3};
  EXPECT_FALSE(verify_seal(kKey, decomposed));
}

TEST(VerifyBundleBinding, HoldsOnlyForTheSignedFieldsUnderTheKey) {
  const std::string hash(64, 'c');
  std::string binding = hmac_sha256_hex_bytes(kKey, bundle_bind_message("w1", hash, 2, "g", 3, "abc").value());
  EXPECT_TRUE(verify_bundle_binding(kKey, "w1", hash, 2, "g", 3, "abc", binding));
  EXPECT_FALSE(verify_bundle_binding("other key", "w1", hash, 2, "g", 3, "abc", binding));
  EXPECT_FALSE(verify_bundle_binding(kKey, "w2", hash, 2, "g", 3, "abc", binding));
  EXPECT_FALSE(verify_bundle_binding(kKey, "w1", hash, 1, "g", 3, "abc", binding));
  EXPECT_FALSE(verify_bundle_binding(kKey, "w1", hash, 2, "g", 3, "abc", binding.substr(1)));
  const std::string bad = "e\u0301";
  std::string over_bad = hmac_sha256_hex_bytes(kKey, "18:kest.bundle.bind/12:" + bad + "64:" + hash + "1:21:g1:33:abc");
  EXPECT_FALSE(verify_bundle_binding(kKey, bad, hash, 2, "g", 3, "abc", over_bad));
}

TEST(SignaturesEqual, NeedsEqualLengthAndBytes) {
  EXPECT_TRUE(signatures_equal("abc", "abc"));
  EXPECT_TRUE(signatures_equal("", ""));
  EXPECT_FALSE(signatures_equal("abc", "abd"));
  EXPECT_FALSE(signatures_equal("abc", "ab"));
  EXPECT_FALSE(signatures_equal("abc", "ABC"));
}

}  // namespace
}  // namespace kest::events
