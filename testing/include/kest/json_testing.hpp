// JSON documents written as text in unit tests.
#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <utility>

#include "kest/json.hpp"

namespace kest::test_support {

// The document `text` holds; a text that does not parse fails the test and gives null.
inline json::Value doc(std::string_view text) {
  auto value = json::parse(text);
  EXPECT_TRUE(value.has_value()) << text;
  return value ? std::move(*value) : json::Value();
}

}  // namespace kest::test_support
