// The epoch's generator, derived from the world id and the epoch number.
#include <bit>

#include "kest/canonical.hpp"
#include "kest/digest_generator.hpp"
#include "kest/epoch.hpp"

namespace kest::epoch {
Result<math::Pcg32> derive_epoch_prng(std::string_view world_id, std::int64_t epoch) {
  if (!events::assert_nfc(world_id)) {
    return fail("world-epoch: non-NFC world_id (normalize to NFC first)");
  }
  std::string message(world_id);
  events::append_little_endian(message, std::bit_cast<std::uint64_t>(epoch));
  return events::generator_from_sha256(message);
}

}  // namespace kest::epoch
