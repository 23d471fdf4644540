// The tag list add_tag leaves: only the string elements count, each once, in UTF-16 order.
#include <gtest/gtest.h>

#include "kest/json_testing.hpp"
#include "kest/snapshot.hpp"

namespace kest::snapshot {
namespace {

using kest::test_support::doc;

struct TagsCase {
  const char* tags;  // the "tags" member; nullptr for none
  const char* tag;
  const char* expected;
};

TEST(StringTagsWith, KeepsTheStringsAndTheTagInNormalForm) {
  const TagsCase cases[] = {
      {nullptr, "x", R"(["x"])"},
      {R"("x")", "y", R"(["y"])"},
      {R"({"a":"b"})", "y", R"(["y"])"},
      {R"(["z",1,null,"a","z",["b"]])", "m", R"(["a","m","z"])"},
      {R"(["x","x"])", "x", R"(["x"])"},
      // UTF-16 order puts a supplementary character before U+FFFD, byte order after it.
      {"[\"\\uFFFD\"]", "\U0001F600", "[\"\U0001F600\",\"\\uFFFD\"]"},
  };
  for (const TagsCase& c : cases) {
    const json::Value tags = c.tags != nullptr ? doc(c.tags) : json::Value();
    EXPECT_EQ(json::Value(string_tags_with(c.tags != nullptr ? &tags : nullptr, c.tag)), doc(c.expected))
        << (c.tags != nullptr ? c.tags : "none") << " + " << c.tag;
  }
}

TEST(NewEntity, HasEmptyPropertiesAndTags) { EXPECT_EQ(new_entity(), doc(R"({"properties":{},"tags":[]})")); }

}  // namespace
}  // namespace kest::snapshot
