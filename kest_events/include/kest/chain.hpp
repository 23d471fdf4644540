// Verification of a signed event chain, its seal and a bundle binding under a key. None of these
// fails: every problem, a field not in NFC included, is a false answer or a finding.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kest/signing.hpp"

namespace kest::events {

enum class MismatchReason : std::uint8_t { kBadSignature, kBrokenLink, kSealMismatch };

// One finding: the record's type and seq, or "(seal)" and the seal's count.
struct ChainMismatch {
  std::string label;
  std::uint64_t seq = 0;
  MismatchReason reason = MismatchReason::kBadSignature;

  friend bool operator==(const ChainMismatch&, const ChainMismatch&) = default;
};

struct ChainReport {
  std::vector<ChainMismatch> mismatches;  // in the order found
  std::uint64_t record_count = 0;         // every record is examined
  bool ok = true;                         // no findings
};

// Equal lengths and equal bytes, comparing every byte once the lengths match so that the time
// taken does not tell how much of a forged signature was right.
bool signatures_equal(std::string_view computed, std::string_view stored) noexcept;

bool verify_seal(std::string_view key, const ChainSeal& seal);

bool verify_bundle_binding(std::string_view key, std::string_view world_id, std::string_view state_hash,
                           std::uint64_t event_index, std::string_view tail_genesis, std::uint64_t seal_count,
                           std::string_view seal_head, std::string_view binding);

// Checks every record's signature and its link to the one before (the first to `genesis`), and,
// when given, the seal over the whole list. A record's successor is linked to its stored `sig`,
// valid or not, so one tampered record gives one finding.
ChainReport verify_records_detailed(std::string_view key, std::span<const ChainedRecord> records,
                                    std::string_view genesis, const std::optional<ChainSeal>& seal = std::nullopt);

// Signatures and links only: it cannot notice records missing from the end (the seal does).
bool verify_records(std::string_view key, std::span<const ChainedRecord> records, std::string_view genesis);

}  // namespace kest::events
