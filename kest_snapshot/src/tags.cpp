#include <algorithm>

#include "kest/snapshot.hpp"
#include "kest/utf8.hpp"

namespace kest::snapshot {

std::vector<std::string> normalize_tags(std::vector<std::string> tags) {
  // Equal strings are adjacent in UTF-16 order as in any total order, so sorting first lets
  // duplicates go in one pass.
  std::sort(tags.begin(), tags.end(), json::utf16_less);
  tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
  return tags;
}

}  // namespace kest::snapshot
