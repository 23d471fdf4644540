#include "kest/combat.hpp"

namespace kest::combat {

std::string_view band_name(Band band) noexcept {
  switch (band) {
    case Band::kEngaged: return "engaged";
    case Band::kNear: return "near";
    case Band::kFar: return "far";
  }
  return "far";
}

std::optional<Band> parse_band(std::string_view name) noexcept {
  for (Band band : {Band::kEngaged, Band::kNear, Band::kFar}) {
    if (name == band_name(band)) return band;
  }
  return std::nullopt;
}

Band band_from_distance_ft(std::int64_t feet) noexcept {
  if (feet < 0) return Band::kNear;
  if (feet <= 5) return Band::kEngaged;
  if (feet <= 30) return Band::kNear;
  return Band::kFar;
}

bool band_within(std::string_view band, std::string_view max_band) noexcept {
  std::optional<Band> inner = parse_band(band);
  std::optional<Band> outer = parse_band(max_band);
  return inner && outer && *inner <= *outer;
}

}  // namespace kest::combat
