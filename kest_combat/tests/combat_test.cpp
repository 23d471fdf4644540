#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "kest/combat.hpp"

namespace kest::combat {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

std::vector<std::string> ordered_ids(std::vector<InitiativeEntry> entries) {
  std::vector<std::string> ids;
  for (const InitiativeEntry& entry : initiative_order(std::move(entries))) ids.push_back(entry.id);
  return ids;
}

TEST(InitiativeOrder, KeysDecideInTurn) {
  struct Case {
    const char* what;
    std::vector<InitiativeEntry> entries;
    std::vector<std::string> order;
  };
  const Case cases[] = {
      {"total, then modifier", {{"1", 15, 2, 13}, {"2", 15, 3, 12}, {"3", 18, 0, 18}}, {"3", "2", "1"}},
      {"then d20", {{"1", 10, 2, 5}, {"2", 10, 2, 19}}, {"2", "1"}},
      {"then numeric id value", {{"10", 12, 1, 11}, {"9", 12, 1, 11}}, {"9", "10"}},
      {"negative ids first", {{"3", 10, 0, 10}, {"-5", 10, 0, 10}}, {"-5", "3"}},
      {"numeric ids before other ids", {{"b", 1, 1, 1}, {"a", 1, 1, 1}, {"100", 1, 1, 1}}, {"100", "a", "b"}},
      {"extreme totals do not overflow",
       {{"1", kMin, 0, 0}, {"2", kMax, 0, 0}, {"3", -1, 0, 0}, {"4", 0, kMax, kMin}},
       {"2", "4", "3", "1"}},
      {"empty", {}, {}},
      {"one entry", {{"7", -3, -1, 1}}, {"7"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ordered_ids(c.entries), c.order) << c.what;
}

// Entries equal in every key are indistinguishable, so the sort's stability shows only in
// that each of them survives, in a block, alongside correctly ordered neighbours.
TEST(InitiativeOrder, RepeatedEntriesAreAllKept) {
  std::vector<InitiativeEntry> entries;
  for (int i = 0; i < 300; ++i) entries.push_back({std::to_string(i % 3), i % 2, 0, 0});
  std::vector<std::string> ids = ordered_ids(entries);
  std::vector<std::string> expected;
  for (int total = 1; total >= 0; --total) {  // total 1 first, then total 0
    for (const char* id : {"0", "1", "2"}) expected.insert(expected.end(), 50, id);
  }
  EXPECT_EQ(ids, expected);
}

TEST(Bands, FromDistance) {
  struct Case {
    std::int64_t feet;
    Band band;
  };
  for (auto [feet, band] :
       {Case{kMin, Band::kNear}, Case{-1, Band::kNear}, Case{0, Band::kEngaged}, Case{5, Band::kEngaged},
        Case{6, Band::kNear}, Case{30, Band::kNear}, Case{31, Band::kFar}, Case{kMax, Band::kFar}}) {
    EXPECT_EQ(band_from_distance_ft(feet), band) << feet;
  }
}

TEST(Bands, NamesRoundTrip) {
  for (Band band : {Band::kEngaged, Band::kNear, Band::kFar}) EXPECT_EQ(parse_band(band_name(band)), band);
  EXPECT_EQ(band_name(Band::kEngaged), "engaged");
  EXPECT_EQ(band_name(Band::kNear), "near");
  EXPECT_EQ(band_name(Band::kFar), "far");
}

TEST(Bands, WithinComparesRanks) {
  const std::string_view names[] = {"engaged", "near", "far"};
  for (std::size_t band = 0; band < 3; ++band) {
    for (std::size_t max_band = 0; max_band < 3; ++max_band) {
      EXPECT_EQ(band_within(names[band], names[max_band]), band <= max_band) << names[band] << " " << names[max_band];
    }
  }
}

TEST(Bands, WithinIsFalseForAnythingButExactNames) {
  using namespace std::string_view_literals;
  for (std::string_view other :
       {""sv, "Near"sv, "FAR"sv, "near "sv, " near"sv, "nearby"sv, "farther"sv, "engage"sv, "near\0"sv}) {
    EXPECT_FALSE(parse_band(other).has_value()) << other;
    EXPECT_FALSE(band_within(other, "far")) << other;
    EXPECT_FALSE(band_within("engaged", other)) << other;
  }
}

}  // namespace
}  // namespace kest::combat
