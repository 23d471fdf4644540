// Rules and states written as JSON text in tests, and the message of a failed step.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "kest/json.hpp"
#include "kest/json_testing.hpp"
#include "kest/ruleset.hpp"

namespace kest::ruleset {

using kest::test_support::doc;

template <typename T>
std::string error_of(const Result<T>& result) {
  return result ? std::string("(no error)") : result.error();
}

}  // namespace kest::ruleset
