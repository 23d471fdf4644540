// HMAC-SHA-256 through OpenSSL's MAC interface, which takes the message in pieces so that large
// messages (a framed world state) need not be assembled first.
#include <array>
#include <memory>
#include <new>
#include <stdexcept>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "kest/signing.hpp"

namespace kest::events {
namespace {

constexpr std::size_t kDigestSize = 32;

// HMAC-SHA-256 is always available in OpenSSL's default provider, so a failure here is a broken
// installation or exhausted memory: a fault of the engine, never of the input.
[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("HMAC-SHA-256: ") + what); }

// Fetched once: the fetch is a locked lookup in OpenSSL's provider store.
EVP_MAC* hmac_algorithm() {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  if (mac == nullptr) fail("algorithm unavailable");
  return mac;
}

struct MacContextFree {
  void operator()(EVP_MAC_CTX* ctx) const noexcept { EVP_MAC_CTX_free(ctx); }
};

std::string to_lower_hex(const std::array<unsigned char, kDigestSize>& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(2 * kDigestSize, '0');
  for (std::size_t i = 0; i < kDigestSize; ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  return text;
}

}  // namespace

std::string hmac_sha256_hex_bytes(std::string_view key, std::initializer_list<std::string_view> pieces) {
  std::unique_ptr<EVP_MAC_CTX, MacContextFree> ctx(EVP_MAC_CTX_new(hmac_algorithm()));
  if (!ctx) throw std::bad_alloc();  // a context is only refused for want of memory
  char digest_name[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                         OSSL_PARAM_construct_end()};
  // A null key pointer would mean "keep the previous key"; the empty key is a real, empty one.
  static constexpr unsigned char kEmptyKey[1] = {0};
  const auto* key_bytes = key.empty() ? kEmptyKey : reinterpret_cast<const unsigned char*>(key.data());
  if (EVP_MAC_init(ctx.get(), key_bytes, key.size(), params) != 1) fail("init");
  for (std::string_view piece : pieces) {
    if (EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(piece.data()), piece.size()) != 1) {
      fail("update");
    }
  }
  std::array<unsigned char, kDigestSize> digest{};
  std::size_t written = 0;
  if (EVP_MAC_final(ctx.get(), digest.data(), &written, digest.size()) != 1 || written != kDigestSize) fail("final");
  return to_lower_hex(digest);
}

std::string hmac_sha256_hex_bytes(std::string_view key, std::string_view message) {
  return hmac_sha256_hex_bytes(key, {message});
}

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
  return hmac_sha256_hex_bytes(key, message);
}

}  // namespace kest::events
