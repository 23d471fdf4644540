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

void SelectionIndex::hand_back(json::Value& state) { tables_->hand_back(state); }

void TagCarriers::sort() {
  auto& ids = std::get<std::vector<std::string>>(ids_);
  // Entities come in byte order, which UTF-16 order nearly always agrees with.
  if (!std::ranges::is_sorted(ids, json::utf16_less)) std::ranges::stable_sort(ids, json::utf16_less);
  // A tag repeated in one entity's list appends that entity's id twice in a row.
  ids.erase(std::ranges::unique(ids).begin(), ids.end());
}

TagCarriers::EditedIds& TagCarriers::edited() {
  if (auto* sorted = std::get_if<std::vector<std::string>>(&ids_)) {
    EditedIds ids;
    for (std::string& id : *sorted) ids.emplace_hint(ids.end(), std::move(id));
    ids_ = std::move(ids);
  }
  return std::get<EditedIds>(ids_);
}

void TagCarriers::insert(std::string_view id) { edited().emplace(id); }

void TagCarriers::erase(std::string_view id) {
  EditedIds& ids = edited();
  if (auto found = ids.find(id); found != ids.end()) ids.erase(found);
}

bool TagCarriers::empty() const noexcept {
  return std::visit([](const auto& ids) { return ids.empty(); }, ids_);
}

bool TagCarriers::contains(std::string_view id) const {
  if (const auto* sorted = std::get_if<std::vector<std::string>>(&ids_)) {
    return std::ranges::binary_search(*sorted, id, json::utf16_less);
  }
  return std::get<EditedIds>(ids_).contains(id);
}

std::vector<std::string> TagCarriers::first(std::size_t limit) const {
  return std::visit(
      [limit](const auto& ids) {
        const auto kept = static_cast<std::ptrdiff_t>(std::min(limit, ids.size()));
        return std::vector<std::string>(ids.begin(), std::next(ids.begin(), kept));
      },
      ids_);
}

void SelectionIndex::Tables::build(const json::Object& entities) {
  by_tag_.clear();
  auto index = [this](std::string_view id, const json::Value& entity) {
    const json::Array* tags = entity["tags"].if_array();
    if (tags == nullptr) return;
    for (const json::Value& element : *tags) {
      const std::string* tag = element.if_string();
      if (tag == nullptr) continue;
      auto found = by_tag_.find(*tag);
      if (found == by_tag_.end()) found = by_tag_.emplace(*tag, TagCarriers{}).first;
      found->second.append(id);
    }
  };
  for (const json::Member& entity : entities) index(entity.key, entity.value);
  for (const auto& [id, entity] : created_) index(id, entity);
  for (auto& [tag, carriers] : by_tag_) carriers.sort();
  built_ = true;
}

void SelectionIndex::Tables::hand_back(json::Value& state) {
  if (created_.empty()) return;
  json::Value* entities_value = state.find("entities");
  // Entities are only created in an object, and rules never replace "entities".
  json::Object* entities = entities_value != nullptr ? entities_value->if_object() : nullptr;
  if (entities != nullptr) {
    created_.merge_into(*entities);
  } else {
    created_ = {};
  }
}

std::vector<std::string> SelectionIndex::Tables::select(std::string_view tag, std::size_t limit) const {
  auto found = by_tag_.find(tag);
  if (found == by_tag_.end()) return {};
  return found->second.first(limit);
}

bool SelectionIndex::Tables::carries(std::string_view id, std::string_view tag) const {
  auto found = by_tag_.find(tag);
  return found != by_tag_.end() && found->second.contains(id);
}

void SelectionIndex::Tables::retag(std::string_view id, const json::Value* before, const json::Value* after) {
  if (!built_) return;
  const std::vector<std::string_view> old_tags = distinct_tags(before);
  const std::vector<std::string_view> new_tags = distinct_tags(after);
  std::vector<std::string_view> dropped;
  std::vector<std::string_view> gained;
  std::ranges::set_difference(old_tags, new_tags, std::back_inserter(dropped));
  std::ranges::set_difference(new_tags, old_tags, std::back_inserter(gained));
  for (std::string_view tag : dropped) tag_removed(id, tag);
  for (std::string_view tag : gained) tag_added(id, tag);
}

void SelectionIndex::Tables::tag_added(std::string_view id, std::string_view tag) {
  if (!built_) return;
  auto found = by_tag_.find(tag);
  if (found == by_tag_.end()) found = by_tag_.emplace(std::string(tag), TagCarriers{}).first;
  found->second.insert(id);
}

void SelectionIndex::Tables::tag_removed(std::string_view id, std::string_view tag) {
  if (!built_) return;
  auto found = by_tag_.find(tag);
  if (found == by_tag_.end()) return;
  found->second.erase(id);
  if (found->second.empty()) by_tag_.erase(found);
}

}  // namespace kest::ruleset
