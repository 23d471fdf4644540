#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "kest/ids.hpp"

namespace kest::ruleset {
namespace {

// Every pair of this list must compare in list order, both ways round, and only an id with
// itself compares equal: that covers the order, its antisymmetry and its transitivity.
void expect_strictly_ascending(const std::vector<std::string>& ids) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(compare_ids(ids[i], ids[i]), 0) << ids[i];
    for (std::size_t j = i + 1; j < ids.size(); ++j) {
      EXPECT_LT(compare_ids(ids[i], ids[j]), 0) << ids[i] << " < " << ids[j];
      EXPECT_GT(compare_ids(ids[j], ids[i]), 0) << ids[j] << " > " << ids[i];
      EXPECT_TRUE(id_less(ids[i], ids[j]));
    }
  }
}

TEST(CompareIds, NumericByValueThenBytesThenNonNumericByBytes) {
  expect_strictly_ascending({
      "-10", "-9",  "-1", "-0",  "-00", "0",   "00",  // all zero: byte order, a proper prefix first
      "2",   "007", "7",  "10",                       // "007" and "7" are equal in value
      "",                                             // the empty id is not numeric
      " 5",  "+5",  "-",  "--5", "-5-", "1.0", "10a", "5a", "a", "ab", "b",
  });
}

TEST(CompareIds, NumericIdsOfThousandsOfDigitsCompareByValue) {
  std::string huge = "1" + std::string(4000, '0');        // 10^4000
  std::string below_huge = std::string(4000, '9');        // 10^4000 - 1
  std::string padded_two = std::string(5000, '0') + "2";  // 2, with leading zeros
  std::string huger = "2" + std::string(4000, '0');       // same length as huge, larger
  expect_strictly_ascending({
      "-" + huger,
      "-" + huge,
      "-" + below_huge,
      "-1",
      "0",
      padded_two,
      "2",
      below_huge,
      "0" + huge,  // equal in value to huge, so byte order decides
      huge,
      huger,
      "a",
  });
}

TEST(IsNumericId, OptionalMinusThenAsciiDigitsOnly) {
  for (std::string_view id : {"0", "-0", "007", "-123", "18446744073709551616"}) {
    EXPECT_TRUE(is_numeric_id(id)) << id;
  }
  for (std::string_view id : {"", "-", "+5", " 5", "5 ", "5a", "--5", "5-", "1.0", "1e3", "\xd9\xa3"}) {
    EXPECT_FALSE(is_numeric_id(id)) << id;
  }
}

TEST(NormalizeNumeric, SplitsSignAndStripsLeadingZeros) {
  struct Case {
    std::string_view id;
    bool negative;
    std::string_view magnitude;
  };
  for (auto [id, negative, magnitude] : {
           Case{"0", false, "0"},
           Case{"000", false, "0"},
           Case{"-0", false, "0"},
           Case{"-000", false, "0"},
           Case{"7", false, "7"},
           Case{"007", false, "7"},
           Case{"-007", true, "7"},
           Case{"120", false, "120"},
           Case{"-0120", true, "120"},
       }) {
    NumericId normal = normalize_numeric(id);
    EXPECT_EQ(normal.negative, negative) << id;
    EXPECT_EQ(normal.magnitude, magnitude) << id;
  }
}

}  // namespace
}  // namespace kest::ruleset
