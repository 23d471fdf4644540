// Generators taken from SHA-256 digests.
#include "kest/digest_generator.hpp"

#include <openssl/evp.h>

#include <array>
#include <new>

namespace kest::events {
namespace {

std::uint64_t read_little_endian(const unsigned char* bytes) noexcept {
  std::uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
  return word;
}

}  // namespace

void append_little_endian(std::string& out, std::uint64_t word) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((word >> (8 * i)) & 0xFF));
}

math::Pcg32 generator_from_sha256(std::string_view message) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  // With the built-in SHA-256 the digest fails only when OpenSSL cannot allocate its context.
  if (EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return math::Pcg32(read_little_endian(digest.data()), read_little_endian(digest.data() + 8) | 1U);
}

}  // namespace kest::events
