// Rules and states written as JSON text in tests, and the message of a failed step.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "kest/json.hpp"
#include "kest/ruleset.hpp"

namespace kest::ruleset {

inline json::Value parsed(std::string_view text) {
  auto value = json::parse(text);
  EXPECT_TRUE(value.has_value()) << text;
  return value ? std::move(*value) : json::Value();
}

template <typename T>
std::string error_of(const Result<T>& result) {
  return result ? std::string("(no error)") : result.error();
}

}  // namespace kest::ruleset
