// Value and Object: member storage, lookup and equality.
#include <algorithm>
#include <bit>

#include "kest/json.hpp"

namespace kest::json {
namespace {

auto key_lower_bound(auto& members, std::string_view key) {
  return std::lower_bound(members.begin(), members.end(), key,
                          [](const Member& m, std::string_view k) { return std::string_view(m.key) < k; });
}

bool key_less(const Member& a, const Member& b) { return a.key < b.key; }

}  // namespace

Object::Object(std::initializer_list<Member> members) : Object(from_members(std::vector<Member>(members))) {}

Object Object::from_members(std::vector<Member> members) {
  Object object;
  // Text written by this engine is already in key order, so the common case costs one scan.
  if (!std::is_sorted(members.begin(), members.end(), key_less)) {
    std::stable_sort(members.begin(), members.end(), key_less);
  }
  // Within a run of equal keys the last one came last in the input and wins.
  auto out = members.begin();
  for (auto it = members.begin(); it != members.end(); ++it) {
    auto next = std::next(it);
    if (next != members.end() && next->key == it->key) continue;
    if (out != it) *out = std::move(*it);
    ++out;
  }
  members.erase(out, members.end());
  object.members_ = std::move(members);
  return object;
}

std::size_t Object::size() const noexcept { return members_.size(); }
bool Object::empty() const noexcept { return members_.empty(); }

const Value* Object::find(std::string_view key) const noexcept {
  auto it = key_lower_bound(members_, key);
  return it != members_.end() && it->key == key ? &it->value : nullptr;
}

Value* Object::find(std::string_view key) noexcept {
  auto it = key_lower_bound(members_, key);
  return it != members_.end() && it->key == key ? &it->value : nullptr;
}

bool Object::contains(std::string_view key) const noexcept { return find(key) != nullptr; }

Value& Object::insert_or_assign(std::string key, Value value) {
  auto it = key_lower_bound(members_, key);
  if (it != members_.end() && it->key == key) {
    it->value = std::move(value);
    return it->value;
  }
  it = members_.insert(it, Member{std::move(key), std::move(value)});
  return it->value;
}

bool Object::erase(std::string_view key) {
  auto it = key_lower_bound(members_, key);
  if (it == members_.end() || it->key != key) return false;
  members_.erase(it);
  return true;
}

std::vector<Member>::const_iterator Object::begin() const noexcept { return members_.begin(); }
std::vector<Member>::const_iterator Object::end() const noexcept { return members_.end(); }
std::vector<Member>::iterator Object::begin() noexcept { return members_.begin(); }
std::vector<Member>::iterator Object::end() noexcept { return members_.end(); }

bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

const Value* Value::find(std::string_view key) const noexcept {
  const Object* object = if_object();
  return object != nullptr ? object->find(key) : nullptr;
}

Value* Value::find(std::string_view key) noexcept {
  Object* object = if_object();
  return object != nullptr ? object->find(key) : nullptr;
}

const Value& Value::operator[](std::string_view key) const noexcept {
  const Value* member = find(key);
  return member != nullptr ? *member : null_value();
}

bool operator==(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  if (a.is_double()) return std::bit_cast<std::uint64_t>(a.as_double()) == std::bit_cast<std::uint64_t>(b.as_double());
  return a.data_ == b.data_;
}

const Value& null_value() noexcept {
  static const Value null;
  return null;
}

}  // namespace kest::json
