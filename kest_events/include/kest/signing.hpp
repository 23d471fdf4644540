// HMAC-SHA-256 in its hexadecimal form, record signatures, and the messages the chain seal and
// the bundle binding sign. Every message is a run of `field`-framed texts whose first field is
// a domain tag, so that no message of one kind can be read as one of another.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read. Every MAC
// runs in an OpenSSL context of its own.
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <string>
#include <string_view>

#include "kest/canonical.hpp"
#include "kest/json.hpp"

namespace kest::events {

// One signed event record of a chain.
struct ChainedRecord {
  std::uint64_t seq = 0;
  std::string type;
  json::Value payload;
  std::string prev_sig;  // the previous record's `sig`, or the chain's genesis value
  std::string sig;
};

// The seal over a whole chain: its length and the `sig` of its last record.
struct ChainSeal {
  std::string head;
  std::string sig;
  std::uint64_t count = 0;
};

// The HMAC-SHA-256 of `message` under `key` (any bytes, any length), as 64 lowercase hex digits.
std::string hmac_sha256_hex_bytes(std::string_view key, std::string_view message);

// The same over the concatenation of `pieces`, without building it.
std::string hmac_sha256_hex_bytes(std::string_view key, std::initializer_list<std::string_view> pieces);

// The MAC of the UTF-8 bytes of `message`.
std::string hmac_sha256_hex(std::string_view key, std::string_view message);

// The signature of a record: the MAC of its tag, seq, type, canonical payload and prev_sig.
// Fails with `NonNfc` for a type or prev_sig not in NFC (tested first, in that order), or with
// the payload's own fault when it has no canonical form.
std::expected<std::string, CanonError> sign_record(std::string_view key, std::uint64_t seq, std::string_view type,
                                                   const json::Value& payload, std::string_view prev_sig);

// The text a chain seal signs; `NonNfc` when the head is not in NFC.
std::expected<std::string, CanonError> seal_message(std::uint64_t count, std::string_view head);

// The text a bundle binding signs; `NonNfc` when a text field is not in NFC.
std::expected<std::string, CanonError> bundle_bind_message(std::string_view world_id, std::string_view state_hash,
                                                           std::uint64_t event_index, std::string_view tail_genesis,
                                                           std::uint64_t seal_count, std::string_view seal_head);

}  // namespace kest::events
