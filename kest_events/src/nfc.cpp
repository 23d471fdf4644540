// The NFC test. Text of code points below U+0300 (ASCII, Latin-1 and the Latin extensions) is
// always NFC and never reaches ICU; anything else is tested by ICU on its UTF-8 bytes as they
// are, with no conversion to UTF-16 and no allocation, which answers exactly as normalising the
// string and comparing would.
#include <algorithm>
#include <cstdint>
#include <limits>

#include <unicode/normalizer2.h>
#include <unicode/utf8.h>

#include "kest/canonical.hpp"
#include "nfc_inert.hpp"

namespace kest::events {
namespace {

// ICU's NFC instance is immutable once built and may be used from any number of threads; its
// one-time construction is itself thread-safe. Null only when ICU's data cannot be loaded.
const icu::Normalizer2* nfc_normalizer() {
  static const icu::Normalizer2* const nfc = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* instance = icu::Normalizer2::getNFCInstance(status);
    return U_SUCCESS(status) ? instance : nullptr;
  }();
  return nfc;
}

bool is_nfc_inert(std::string_view s) {
  return std::ranges::all_of(s, [](char c) { return static_cast<unsigned char>(c) < kFirstNfcActiveLeadByte; });
}

bool is_normalized_piece(const icu::Normalizer2& nfc, std::string_view piece) {
  UErrorCode status = U_ZERO_ERROR;
  bool normalized = nfc.isNormalizedUTF8(icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())), status);
  return U_SUCCESS(status) && normalized;
}

// The start of the last character of `s[0, limit)` before which normalisation starts afresh (one
// that never combines with what precedes it), or 0 when there is none.
std::size_t last_boundary_before(const icu::Normalizer2& nfc, std::string_view s, std::size_t limit) {
  for (std::size_t at = limit; at > 0; --at) {
    if (U8_IS_TRAIL(static_cast<std::uint8_t>(s[at]))) continue;
    UChar32 c = 0;
    std::size_t next = at;
    U8_NEXT_UNSAFE(reinterpret_cast<const std::uint8_t*>(s.data()), next, c);
    if (nfc.hasBoundaryBefore(c)) return at;
  }
  return 0;
}

}  // namespace

std::expected<void, CanonError> assert_nfc(std::string_view s) {
  if (is_nfc_inert(s)) return {};
  const icu::Normalizer2* nfc = nfc_normalizer();
  if (nfc == nullptr) return std::unexpected(CanonError::kNonNfc);
  // ICU measures text in 32-bit lengths, so longer text is tested piece by piece, cut where
  // normalisation starts afresh. A piece with no such place (over 2 GiB of characters that all
  // combine with what precedes them) is taken as not normalised.
  constexpr std::size_t kMaxPiece = std::numeric_limits<int32_t>::max();
  while (s.size() > kMaxPiece) {
    std::size_t cut = last_boundary_before(*nfc, s, kMaxPiece);
    if (cut == 0 || !is_normalized_piece(*nfc, s.substr(0, cut))) return std::unexpected(CanonError::kNonNfc);
    s.remove_prefix(cut);
  }
  if (!is_normalized_piece(*nfc, s)) return std::unexpected(CanonError::kNonNfc);
  return {};
}

}  // namespace kest::events
