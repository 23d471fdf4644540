#include <gtest/gtest.h>

#include "kest/utf8.hpp"

namespace kest::json {
namespace {

TEST(CompareUtf16, AstralSortsBelowPrivateUse) {
  EXPECT_LT(compare_utf16("\xF0\x90\x80\x80", "\xEE\x80\x80"), 0);  // U+10000 < U+E000
}

}  // namespace
}  // namespace kest::json
