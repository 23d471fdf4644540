#include <algorithm>
#include <iterator>
#include <utility>

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

json::Value new_entity() { return json::Object{{"properties", json::Object{}}, {"tags", json::Array{}}}; }

json::Array string_tags_with(const json::Value* tags, std::string_view tag) {
  std::vector<std::string> strings;
  if (const json::Array* elements = tags != nullptr ? tags->if_array() : nullptr) {
    for (const json::Value& element : *elements) {
      if (const std::string* text = element.if_string()) strings.push_back(*text);
    }
  }
  strings.emplace_back(tag);
  strings = normalize_tags(std::move(strings));
  return json::Array(std::make_move_iterator(strings.begin()), std::make_move_iterator(strings.end()));
}

}  // namespace kest::snapshot
