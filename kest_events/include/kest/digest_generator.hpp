// Generators and messages built from bytes: a PCG32 taken directly from a SHA-256 digest, and
// the little-endian integer bytes that the messages of the derived generators end with.
//
// Threads: every function may be called from any number of threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kest/math.hpp"

namespace kest::events {

// A generator built directly from SHA-256 of `message`: digest bytes 0-7 (little-endian) are the
// state, bytes 8-15 the increment with its lowest bit set; no step is taken.
math::Pcg32 generator_from_sha256(std::string_view message);

// Appends the 8 bytes of `word`, least significant first.
void append_little_endian(std::string& out, std::uint64_t word);

}  // namespace kest::events
