// The tables behind `SelectionIndex`: for every tag some entity carries, the ids of the entities
// whose "tags" array holds it, in UTF-16 order, the order in which `foreach_target` visits them.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kest/json.hpp"
#include "kest/ruleset.hpp"
#include "kest/utf8.hpp"

namespace kest::ruleset {

struct SelectionIndex::Tables {
  struct Utf16Less {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return json::utf16_less(a, b); }
  };
  struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  // A sorted set, not a sorted vector: tagging one entity of a crowded tag costs log n, not n.
  using Ids = std::set<std::string, Utf16Less>;

  // Indexes every entity of `entities` by the strings in its "tags" array. Until then the index
  // holds nothing and ignores edits.
  void build(const json::Object& entities);
  [[nodiscard]] bool built() const noexcept { return built_; }

  // The first `limit` ids, in UTF-16 order, of the entities carrying `tag`; copies, as the rule
  // that reads them may create entities and so move the keys of the state in memory.
  [[nodiscard]] std::vector<std::string> select(std::string_view tag, std::size_t limit) const;

  // The "tags" member of entity `id` changes from `before` to `after`; null stands for no member
  // (or no entity). Non-arrays and non-string elements carry no tag.
  void retag(std::string_view id, const json::Value* before, const json::Value* after);

  // Whether the entity `id` carries `tag`.
  [[nodiscard]] bool carries(std::string_view id, std::string_view tag) const;

  // The entities carrying `tag`, for tests that hold the index against a scan of the world.
  [[nodiscard]] const Ids* carriers(std::string_view tag) const;

 private:
  bool built_ = false;
  std::unordered_map<std::string, Ids, StringHash, std::equal_to<>> by_tag_;
};

}  // namespace kest::ruleset
