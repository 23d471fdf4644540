// Members on their way into one object, held aside in key order. Inserting a member into an
// object moves every member sorted after it; members held here join in one merge instead, so
// adding k members to an object of n costs n + k log k rather than k times n.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "kest/json.hpp"

namespace kest::json {

class HeldMembers {
 public:
  using Members = std::map<std::string, Value, std::less<>>;

  [[nodiscard]] bool empty() const noexcept { return members_.empty(); }
  [[nodiscard]] std::size_t size() const noexcept { return members_.size(); }
  [[nodiscard]] const Value* find(std::string_view key) const noexcept;
  [[nodiscard]] Value* find(std::string_view key) noexcept;
  // The value held for `key`, `value` when none was; it stays in place until it is merged.
  Value& try_emplace(std::string_view key, Value value);
  void erase(std::string_view key);

  // Key order.
  [[nodiscard]] Members::const_iterator begin() const noexcept { return members_.begin(); }
  [[nodiscard]] Members::const_iterator end() const noexcept { return members_.end(); }

  // Moves every held member into `object`, whose keys they must not repeat, and holds none.
  void merge_into(Object& object);

 private:
  Members members_;
};

}  // namespace kest::json
