// The NFC test. ASCII text is always NFC and never reaches ICU; otherwise ICU's quick check
// settles most strings, and only a "maybe" answer pays for a full normalisation.
#include <memory>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "kest/canonical.hpp"
#include "kest/utf8.hpp"

namespace kest::events {

std::expected<void, CanonError> assert_nfc(std::string_view s) {
  if (json::is_ascii(s)) return {};
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::unexpected(CanonError::NonNfc);
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  UNormalizationCheckResult quick = nfc->quickCheck(text, status);
  if (U_FAILURE(status)) return std::unexpected(CanonError::NonNfc);
  if (quick == UNORM_YES) return {};
  if (quick == UNORM_NO) return std::unexpected(CanonError::NonNfc);
  icu::UnicodeString normalized = nfc->normalize(text, status);
  if (U_FAILURE(status) || normalized != text) return std::unexpected(CanonError::NonNfc);
  return {};
}

}  // namespace kest::events
