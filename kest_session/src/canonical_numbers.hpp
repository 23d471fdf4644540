// The numbers of an authenticated value as its canonical text states them.
#pragma once

#include "kest/json.hpp"

namespace kest::session {

// Rewrites every integral float of `value` (5.0) as the integer its canonical text shows (5).
// Hashes and signatures cover the canonical text, in which 5.0 and 5 are the same; whoever goes
// on with a value after authenticating it must therefore go on with the integers, or a float
// slipped in without the key would be read differently than what was signed. Meant for a value
// that has a canonical form, whose floats are all integral, JS-safe and not -0; a float that is
// fractional or beyond the JS-safe range is left alone.
void canonicalize_numbers(json::Value& value);

}  // namespace kest::session
