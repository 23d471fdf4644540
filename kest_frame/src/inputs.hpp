// Readers shared by the two input documents of this library.
#pragma once

#include <cstdint>
#include <string_view>

#include "kest/frame.hpp"

namespace kest::frame {

// The member `name` as a frame number: it must be an integer of the parser's integer kinds below
// 2^63 ("world-frame: {name} must be an integer"), then lie in 0 to 9007199254740991
// ("world-frame: {name} must be a non-negative JS-safe integer").
Result<std::uint64_t> read_frame_number(const json::Value& input, std::string_view name);

}  // namespace kest::frame
