#include "selection_index.hpp"

#include <algorithm>
#include <iterator>

namespace kest::ruleset {
namespace {

// The distinct strings of a "tags" member, in byte order; none unless it is an array.
std::vector<std::string_view> distinct_tags(const json::Value* tags) {
  std::vector<std::string_view> strings;
  const json::Array* array = tags != nullptr ? tags->if_array() : nullptr;
  if (array == nullptr) return strings;
  for (const json::Value& element : *array) {
    if (const std::string* text = element.if_string()) strings.push_back(*text);
  }
  std::ranges::sort(strings);
  strings.erase(std::ranges::unique(strings).begin(), strings.end());
  return strings;
}

}  // namespace

SelectionIndex::SelectionIndex() : tables_(std::make_unique<Tables>()) {}
SelectionIndex::SelectionIndex(SelectionIndex&&) noexcept = default;
SelectionIndex& SelectionIndex::operator=(SelectionIndex&&) noexcept = default;
SelectionIndex::~SelectionIndex() = default;

void SelectionIndex::Tables::build(const json::Object& entities) {
  by_tag_.clear();
  for (const json::Member& entity : entities) {
    const json::Array* tags = entity.value["tags"].if_array();
    if (tags == nullptr) continue;
    for (const json::Value& element : *tags) {
      const std::string* tag = element.if_string();
      if (tag == nullptr) continue;
      auto found = by_tag_.find(*tag);
      if (found == by_tag_.end()) found = by_tag_.emplace(*tag, Ids{}).first;
      // Entities come in byte order, which UTF-16 order nearly always agrees with: the hint
      // makes each insertion constant time then, and a repeated tag is inserted once.
      found->second.emplace_hint(found->second.end(), entity.key);
    }
  }
  built_ = true;
}

std::vector<std::string> SelectionIndex::Tables::select(std::string_view tag, std::size_t limit) const {
  std::vector<std::string> ids;
  const Ids* tagged = carriers(tag);
  if (tagged == nullptr) return ids;
  ids.reserve(std::min(limit, tagged->size()));
  for (auto id = tagged->begin(); id != tagged->end() && ids.size() < limit; ++id) ids.push_back(*id);
  return ids;
}

void SelectionIndex::Tables::retag(std::string_view id, const json::Value* before, const json::Value* after) {
  if (!built_) return;
  const std::vector<std::string_view> old_tags = distinct_tags(before);
  const std::vector<std::string_view> new_tags = distinct_tags(after);
  std::vector<std::string_view> dropped;
  std::vector<std::string_view> gained;
  std::ranges::set_difference(old_tags, new_tags, std::back_inserter(dropped));
  std::ranges::set_difference(new_tags, old_tags, std::back_inserter(gained));
  for (std::string_view tag : dropped) {
    auto found = by_tag_.find(tag);
    if (found == by_tag_.end()) continue;
    if (auto member = found->second.find(id); member != found->second.end()) found->second.erase(member);
    if (found->second.empty()) by_tag_.erase(found);
  }
  for (std::string_view tag : gained) {
    auto found = by_tag_.find(tag);
    if (found == by_tag_.end()) found = by_tag_.emplace(std::string(tag), Ids{}).first;
    found->second.emplace(id);
  }
}

bool SelectionIndex::Tables::carries(std::string_view id, std::string_view tag) const {
  const Ids* tagged = carriers(tag);
  return tagged != nullptr && tagged->contains(id);
}

const SelectionIndex::Tables::Ids* SelectionIndex::Tables::carriers(std::string_view tag) const {
  auto found = by_tag_.find(tag);
  return found != by_tag_.end() ? &found->second : nullptr;
}

}  // namespace kest::ruleset
