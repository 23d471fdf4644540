#include "kest/combat.hpp"

namespace kest::combat {

std::string_view band_name(Band band) noexcept {
  switch (band) {
    case Band::Engaged: return "engaged";
    case Band::Near: return "near";
    case Band::Far: return "far";
  }
  return "far";
}

std::optional<Band> parse_band(std::string_view name) noexcept {
  for (Band band : {Band::Engaged, Band::Near, Band::Far}) {
    if (name == band_name(band)) return band;
  }
  return std::nullopt;
}

Band band_from_distance_ft(std::int64_t feet) noexcept {
  if (feet < 0) return Band::Near;
  if (feet <= 5) return Band::Engaged;
  if (feet <= 30) return Band::Near;
  return Band::Far;
}

bool band_within(std::string_view band, std::string_view max_band) noexcept {
  std::optional<Band> inner = parse_band(band);
  std::optional<Band> outer = parse_band(max_band);
  return inner && outer && *inner <= *outer;
}

}  // namespace kest::combat
