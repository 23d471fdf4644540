// The frame's generator, derived from the world id and the frame number.
#include "kest/canonical.hpp"
#include "kest/epoch.hpp"
#include "kest/frame.hpp"

namespace kest::frame {
namespace {

constexpr std::string_view kDomainTag = "kest.frame/1";

}  // namespace

Result<math::Pcg32> derive_frame_prng(std::string_view world_id, std::uint64_t frame_number) {
  if (!events::assert_nfc(world_id)) {
    return fail("world-frame: non-NFC world_id (normalize to NFC first)");
  }
  // The framed fields keep a world id from running into the frame bytes.
  std::string message;
  events::append_field(message, kDomainTag);
  events::append_field(message, world_id);
  for (int byte = 0; byte < 8; ++byte) message.push_back(static_cast<char>((frame_number >> (8 * byte)) & 0xFF));
  return epoch::generator_from_sha256(message);
}

}  // namespace kest::frame
