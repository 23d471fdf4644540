// The record signature and the seal and binding messages. Numbers are framed as their plain
// decimal text; every text field must be NFC so that all implementations frame the same bytes.
#include <string>

#include "kest/signing.hpp"

namespace kest::events {
namespace {

constexpr std::string_view kRecordTag = "kest.chain.rec/1";
constexpr std::string_view kSealTag = "kest.chain.seal/1";
constexpr std::string_view kBindingTag = "kest.bundle.bind/1";

// Succeeds when every text is NFC; the first that is not decides.
std::expected<void, CanonError> all_nfc(std::initializer_list<std::string_view> texts) {
  for (std::string_view text : texts) {
    if (auto nfc = assert_nfc(text); !nfc) return nfc;
  }
  return {};
}

}  // namespace

std::expected<std::string, CanonError> sign_record(std::string_view key, std::uint64_t seq, std::string_view type,
                                                   const json::Value& payload, std::string_view prev_sig) {
  if (auto nfc = all_nfc({type, prev_sig}); !nfc) return std::unexpected(nfc.error());
  auto canonical = canonical_json(payload);
  if (!canonical) return std::unexpected(canonical.error());
  std::string message;
  append_field(message, kRecordTag);
  append_field(message, std::to_string(seq));
  append_field(message, type);
  append_field(message, *canonical);
  append_field(message, prev_sig);
  return hmac_sha256_hex_bytes(key, message);
}

std::expected<std::string, CanonError> seal_message(std::uint64_t count, std::string_view head) {
  if (auto nfc = assert_nfc(head); !nfc) return std::unexpected(nfc.error());
  std::string message;
  append_field(message, kSealTag);
  append_field(message, std::to_string(count));
  append_field(message, head);
  return message;
}

std::expected<std::string, CanonError> bundle_bind_message(std::string_view world_id, std::string_view state_hash,
                                                           std::uint64_t event_index, std::string_view tail_genesis,
                                                           std::uint64_t seal_count, std::string_view seal_head) {
  if (auto nfc = all_nfc({world_id, state_hash, tail_genesis, seal_head}); !nfc) return std::unexpected(nfc.error());
  std::string message;
  append_field(message, kBindingTag);
  append_field(message, world_id);
  append_field(message, state_hash);
  append_field(message, std::to_string(event_index));
  append_field(message, tail_genesis);
  append_field(message, std::to_string(seal_count));
  append_field(message, seal_head);
  return message;
}

}  // namespace kest::events
