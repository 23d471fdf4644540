// The frame's generator, derived from the world id and the frame number.
#include "kest/canonical.hpp"
#include "kest/digest_generator.hpp"
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
  events::append_little_endian(message, frame_number);
  return events::generator_from_sha256(message);
}

}  // namespace kest::frame
