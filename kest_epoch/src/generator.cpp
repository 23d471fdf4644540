// Generators derived from SHA-256 digests, and the epoch's generator.
#include <openssl/evp.h>

#include <array>
#include <bit>
#include <new>

#include "kest/canonical.hpp"
#include "kest/epoch.hpp"

namespace kest::epoch {
namespace {

std::uint64_t read_little_endian(const unsigned char* bytes) noexcept {
  std::uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
  return word;
}

void append_little_endian(std::string& out, std::uint64_t word) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((word >> (8 * i)) & 0xFF));
}

}  // namespace

math::Pcg32 generator_from_sha256(std::string_view message) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  // With the built-in SHA-256 the digest fails only when OpenSSL cannot allocate its context.
  if (EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return math::Pcg32(read_little_endian(digest.data()), read_little_endian(digest.data() + 8) | 1U);
}

Result<math::Pcg32> derive_epoch_prng(std::string_view world_id, std::int64_t epoch) {
  if (!events::assert_nfc(world_id)) {
    return fail("world-epoch: non-NFC world_id (normalize to NFC first)");
  }
  std::string message(world_id);
  append_little_endian(message, std::bit_cast<std::uint64_t>(epoch));
  return generator_from_sha256(message);
}

}  // namespace kest::epoch
