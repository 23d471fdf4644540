#include "kest/held_members.hpp"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

namespace kest::json {

const Value* HeldMembers::find(std::string_view key) const noexcept {
  auto found = members_.find(key);
  return found != members_.end() ? &found->second : nullptr;
}

Value* HeldMembers::find(std::string_view key) noexcept {
  auto found = members_.find(key);
  return found != members_.end() ? &found->second : nullptr;
}

Value& HeldMembers::try_emplace(std::string_view key, Value value) {
  auto found = members_.find(key);
  if (found == members_.end()) found = members_.emplace(std::string(key), std::move(value)).first;
  return found->second;
}

void HeldMembers::erase(std::string_view key) {
  if (auto found = members_.find(key); found != members_.end()) members_.erase(found);
}

void HeldMembers::merge_into(Object& object) {
  if (members_.empty()) return;
  std::vector<Member> merged;
  merged.reserve(object.size() + members_.size());
  auto take_held_before = [&](const std::string* key) {
    while (!members_.empty() && (key == nullptr || members_.begin()->first < *key)) {
      auto node = members_.extract(members_.begin());
      merged.push_back(Member{std::move(node.key()), std::move(node.mapped())});
    }
  };
  for (Member& member : object) {
    take_held_before(&member.key);
    merged.push_back(std::move(member));
  }
  take_held_before(nullptr);
  // Already in key order, so this is one pass; a repeated key would keep the held value.
  object = Object::from_members(std::move(merged));
}

}  // namespace kest::json
