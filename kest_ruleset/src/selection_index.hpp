// The tables behind `SelectionIndex`: for every tag some entity carries, the ids of the entities
// whose "tags" array holds it, in UTF-16 order, the order in which `foreach_target` visits them;
// and the entities the rules created, held aside until they are handed back to the state.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "kest/held_members.hpp"
#include "kest/json.hpp"
#include "kest/ruleset.hpp"
#include "kest/utf8.hpp"

namespace kest::ruleset {

// The ids of the entities carrying one tag, in UTF-16 order. Built as a sorted vector, which is
// cheap to make for every tag of the world at once; the first edit moves a tag to a sorted set,
// where each further edit costs log n instead of n.
class TagCarriers {
 public:
  struct Utf16Less {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return json::utf16_less(a, b); }
  };
  using EditedIds = std::set<std::string, Utf16Less>;

  TagCarriers() = default;
  // Ids appended in any order, repeats allowed, until `sort`.
  void append(std::string_view id) { std::get<std::vector<std::string>>(ids_).emplace_back(id); }
  void sort();

  void insert(std::string_view id);
  void erase(std::string_view id);
  [[nodiscard]] bool empty() const noexcept;
  [[nodiscard]] bool contains(std::string_view id) const;
  // The first `limit` ids; copies, as the rule that reads them may create entities and so move
  // the keys of the state in memory.
  [[nodiscard]] std::vector<std::string> first(std::size_t limit) const;

 private:
  EditedIds& edited();

  std::variant<std::vector<std::string>, EditedIds> ids_;
};

// Entities created by rules, held aside from "entities", where each creation would move every
// entity sorted after it.
using CreatedEntities = json::HeldMembers;

struct SelectionIndex::Tables {
  // Indexes every entity of `entities` and of `created()` by the strings in its "tags" array.
  // Until then the index holds nothing and ignores edits.
  void build(const json::Object& entities);
  [[nodiscard]] bool built() const noexcept { return built_; }

  // The first `limit` ids, in UTF-16 order, of the entities carrying `tag`.
  [[nodiscard]] std::vector<std::string> select(std::string_view tag, std::size_t limit) const;
  // Whether the entity `id` carries `tag`.
  [[nodiscard]] bool carries(std::string_view id, std::string_view tag) const;

  // The "tags" member of entity `id` changes from `before` to `after`; null stands for no member
  // (or no entity). Non-arrays and non-string elements carry no tag.
  void retag(std::string_view id, const json::Value* before, const json::Value* after);
  // The entity `id` has come to carry `tag`, or carries it no more.
  void tag_added(std::string_view id, std::string_view tag);
  void tag_removed(std::string_view id, std::string_view tag);

  // The entities rules created and nobody has handed back yet; the working state keeps them.
  [[nodiscard]] CreatedEntities& created() noexcept { return created_; }
  [[nodiscard]] const CreatedEntities& created() const noexcept { return created_; }
  // Puts the created entities into the "entities" of `state` in one merge, in key order.
  void hand_back(json::Value& state);

 private:
  struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };

  bool built_ = false;
  CreatedEntities created_;
  std::unordered_map<std::string, TagCarriers, StringHash, std::equal_to<>> by_tag_;
};

}  // namespace kest::ruleset
