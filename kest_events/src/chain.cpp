#include "kest/chain.hpp"

#include <openssl/crypto.h>

namespace kest::events {
namespace {

// The MAC of a message that could be built, checked against the stored signature.
bool mac_matches(std::string_view key, const std::expected<std::string, CanonError>& message, std::string_view stored) {
  return message && signatures_equal(hmac_sha256_hex_bytes(key, *message), stored);
}

}  // namespace

bool signatures_equal(std::string_view computed, std::string_view stored) noexcept {
  // OpenSSL's comparison ORs the XOR of every byte pair and is written so that compilers keep it
  // from stopping early.
  return computed.size() == stored.size() && CRYPTO_memcmp(computed.data(), stored.data(), computed.size()) == 0;
}

bool verify_seal(std::string_view key, const ChainSeal& seal) {
  return mac_matches(key, seal_message(seal.count, seal.head), seal.sig);
}

bool verify_bundle_binding(std::string_view key, std::string_view world_id, std::string_view state_hash,
                           std::uint64_t event_index, std::string_view tail_genesis, std::uint64_t seal_count,
                           std::string_view seal_head, std::string_view binding) {
  return mac_matches(key, bundle_bind_message(world_id, state_hash, event_index, tail_genesis, seal_count, seal_head),
                     binding);
}

ChainReport verify_records_detailed(std::string_view key, std::span<const ChainedRecord> records,
                                    std::string_view genesis, const std::optional<ChainSeal>& seal) {
  ChainReport report;
  std::string_view expected_link = genesis;
  for (const ChainedRecord& record : records) {
    auto finding = [&](MismatchReason reason) { report.mismatches.push_back({record.type, record.seq, reason}); };
    auto computed = sign_record(key, record.seq, record.type, record.payload, record.prev_sig);
    if (!computed) {
      // A record that cannot be signed has no signature to hold a link against.
      finding(MismatchReason::kBadSignature);
    } else {
      if (!signatures_equal(*computed, record.sig)) finding(MismatchReason::kBadSignature);
      if (record.prev_sig != expected_link) finding(MismatchReason::kBrokenLink);
    }
    expected_link = record.sig;
  }
  report.record_count = records.size();
  if (seal) {
    std::string_view head = records.empty() ? genesis : std::string_view(records.back().sig);
    bool holds = seal->count == records.size() && verify_seal(key, *seal) && seal->head == head;
    if (!holds) report.mismatches.push_back({"(seal)", seal->count, MismatchReason::kSealMismatch});
  }
  report.ok = report.mismatches.empty();
  return report;
}

bool verify_records(std::string_view key, std::span<const ChainedRecord> records, std::string_view genesis) {
  return verify_records_detailed(key, records, genesis).ok;
}

}  // namespace kest::events
