#include <gtest/gtest.h>

#include "kest/json_testing.hpp"
#include "kest/signing.hpp"

namespace kest::events {
namespace {

using kest::test_support::doc;

struct MacCase {
  std::string key;
  std::string message;
  const char* hex;
};

class HmacSha256 : public testing::TestWithParam<MacCase> {};

TEST_P(HmacSha256, GivesTheDigestInLowercaseHex) {
  EXPECT_EQ(hmac_sha256_hex(GetParam().key, GetParam().message), GetParam().hex);
}

// RFC 4231's vectors whose message is text (cases 1, 2, 6 and 7), and the empty key and message.
INSTANTIATE_TEST_SUITE_P(
    Rfc4231, HmacSha256,
    testing::Values(
        MacCase{std::string(20, '\x0b'), "Hi There",
                "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        MacCase{"Jefe", "what do ya want for nothing?",
                "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        MacCase{std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
                "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        MacCase{std::string(131, '\xaa'),
                "This is a test using a larger than block-size key and a larger than block-size data. The key needs "
                "to be hashed before being used by the HMAC algorithm.",
                "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        MacCase{"", "", "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"}));

TEST(HmacSha256Pieces, EqualTheMacOfTheirConcatenation) {
  EXPECT_EQ(hmac_sha256_hex_bytes("k", {"", "ab", "", "c"}), hmac_sha256_hex_bytes("k", "abc"));
  EXPECT_EQ(hmac_sha256_hex_bytes("k", std::initializer_list<std::string_view>{}), hmac_sha256_hex_bytes("k", ""));
}

TEST(Field, CountsUtf16CodeUnits) {
  EXPECT_EQ(field("abc"), "3:abc");
  EXPECT_EQ(field(""), "0:");
  EXPECT_EQ(field("\u00e9"), "1:\u00e9");
  EXPECT_EQ(field("\U0001F600"), "2:\U0001F600");
}

TEST(SignRecord, SignsTheFramedFieldsOfTheWorkedExample) {
  const std::string message = "16:kest.chain.rec/11:74:move13:{\"a\":1,\"b\":2}0:";
  ASSERT_EQ(message.size(), 46u);
  auto sig = sign_record("key", 7, "move", doc(R"({"b":2,"a":1})"), "");
  EXPECT_EQ(sig, hmac_sha256_hex_bytes("key", message));
  EXPECT_EQ(sig, "7f4be82422fefb37fdfcac4bd82d5962d1b28e3f73fe60a0da36dbff50b09e61");
}

TEST(SignRecord, FramesSeqTypeAndPayloadByTheirUtf16Length) {
  EXPECT_EQ(sign_record("k", 0, "\u00e9", json::Value(), "p"),
            hmac_sha256_hex_bytes("k", "16:kest.chain.rec/11:01:\u00e94:null1:p"));
  EXPECT_EQ(sign_record("k", 18446744073709551615u, "t", doc(R"(["\ud83d\ude00"])"), ""),
            hmac_sha256_hex_bytes("k", "16:kest.chain.rec/120:184467440737095516151:t6:[\"\U0001F600\"]0:"));
}

struct RecordFault {
  const char* type;
  const char* payload;
  const char* prev_sig;
  CanonError error;
};

class SignRecordFault : public testing::TestWithParam<RecordFault> {};

TEST_P(SignRecordFault, IsTheFirstFaultInTypePrevSigPayloadOrder) {
  const RecordFault& fault = GetParam();
  EXPECT_EQ(sign_record("k", 1, fault.type, doc(fault.payload), fault.prev_sig), std::unexpected(fault.error));
}

INSTANTIATE_TEST_SUITE_P(Faults, SignRecordFault,
                         testing::Values(RecordFault{"t", "0.5", "", CanonError::kNonIntegerNumber},
                                         RecordFault{"t", R"({"__proto__":{}})", "", CanonError::kForbiddenKey},
                                         RecordFault{"e\u0301", "0.5", "", CanonError::kNonNfc},
                                         RecordFault{"t", "0.5", "e\u0301", CanonError::kNonNfc}));

TEST(SealMessage, FramesTagCountAndHead) {
  EXPECT_EQ(seal_message(3, "abc"), "17:kest.chain.seal/11:33:abc");
  EXPECT_EQ(seal_message(0, ""), "17:kest.chain.seal/11:00:");
  EXPECT_EQ(seal_message(3, "e\u0301"), std::unexpected(CanonError::kNonNfc));
}

TEST(BundleBindMessage, FramesTheSevenFieldsInOrder) {
  const std::string hash(64, 'f');
  EXPECT_EQ(bundle_bind_message("w1", hash, 2, "g", 3, "abc"),
            "18:kest.bundle.bind/12:w164:" + hash + "1:21:g1:33:abc");
}

TEST(BundleBindMessage, RefusesEachTextFieldNotInNfc) {
  const std::string bad = "e\u0301";
  EXPECT_FALSE(bundle_bind_message(bad, "h", 0, "g", 0, "s"));
  EXPECT_FALSE(bundle_bind_message("w", bad, 0, "g", 0, "s"));
  EXPECT_FALSE(bundle_bind_message("w", "h", 0, bad, 0, "s"));
  EXPECT_FALSE(bundle_bind_message("w", "h", 0, "g", 0, bad));
}

}  // namespace
}  // namespace kest::events
