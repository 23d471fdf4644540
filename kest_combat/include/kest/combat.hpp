// Combat helpers: initiative order and range bands.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kest::combat {

struct InitiativeEntry {
  std::string id;
  std::int64_t total;
  std::int64_t modifier;
  std::int64_t d20;
};

// Stable order: total, modifier and d20 descending, then id ascending in id order.
std::vector<InitiativeEntry> initiative_order(std::vector<InitiativeEntry> entries);

enum class Band : std::uint8_t { kEngaged, kNear, kFar };

std::string_view band_name(Band band) noexcept;
// The band of an exact, lowercase band name; none for any other string.
std::optional<Band> parse_band(std::string_view name) noexcept;
// 0..5 feet engaged, 6..30 near, 31 and more far; a negative distance is near.
Band band_from_distance_ft(std::int64_t feet) noexcept;
// True when both are band names and band is no farther than max_band.
bool band_within(std::string_view band, std::string_view max_band) noexcept;

}  // namespace kest::combat
