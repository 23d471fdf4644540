// State hashing and the normal form of tag lists.
#pragma once

#include <string>
#include <vector>

namespace kest::snapshot {

// Each distinct tag once, in UTF-16 order.
std::vector<std::string> normalize_tags(std::vector<std::string> tags);

}  // namespace kest::snapshot
