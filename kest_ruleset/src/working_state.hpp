// Access to the world state: reads of properties and tags, and the working state through which
// a rule writes and selects. Every write is logged, so a rule that fails part-way is taken back at
// a cost in proportion to what it changed, never to the size of the world; the selection index
// follows every write and every undo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kest/json.hpp"
#include "kest/ruleset.hpp"
#include "selection_index.hpp"

namespace kest::ruleset {

// A property of an entity as a JS-safe integer; 0 when the entities, the entity, its properties
// or the property are missing (or not objects where objects are needed).
Result<std::int64_t> read_prop(const json::Value& state, std::string_view id, std::string_view property);

class WorkingState;
// The same read of a working state, which sees the entities its rules created.
Result<std::int64_t> read_prop(const WorkingState& world, std::string_view id, std::string_view property);

// True when the entity's "tags" array holds the string `tag`.
bool entity_has_tag(const json::Value& entity, std::string_view tag) noexcept;

// A world state being edited in place. Edits not committed when it goes out of scope are undone,
// newest first, so the state is then exactly as it was, also when an exception cut the rule short.
class WorkingState {
 public:
  // `selections` indexes `state` and is kept exact through every edit and undo.
  WorkingState(json::Value& state, SelectionIndex& selections) noexcept
      : state_(state), selections_(selections.tables()) {}
  WorkingState(const WorkingState&) = delete;
  WorkingState& operator=(const WorkingState&) = delete;
  ~WorkingState() { roll_back(); }

  [[nodiscard]] const json::Value& state() const noexcept { return state_; }

  // Keeps every edit made so far.
  void commit() noexcept { log_.clear(); }

  // The entity `id`, created with empty "properties" and "tags" when missing. A created entity
  // is held aside with the selection index until it is handed back, so creating one never moves
  // the rest of the world; the pointer stays valid until the rule ends.
  Result<json::Object*> entity_mut(std::string_view id);

  // The entity `id` as the rules see it, created ones included; null when there is none.
  [[nodiscard]] const json::Value* find_entity(std::string_view id) const noexcept;
  // How many entities the rules see; 0 when "entities" is not an object.
  [[nodiscard]] std::size_t entity_count() const noexcept;

  // Writes property := value on the entity `id`, obtained from `entity_mut`.
  Result<void> write_property(std::string_view id, json::Object& entity, std::string_view property, std::int64_t value);

  // Replaces the "tags" of the entity `id`, obtained from `entity_mut`.
  void replace_tags(std::string_view id, json::Object& entity, json::Array tags);

  // The "tags" of the entity `id`, obtained from `entity_mut`, when it is an array of strings in
  // the normal form add_tag leaves (strictly ascending in UTF-16 order); null otherwise. The
  // in-place edits below keep that form, so an entity found in it is remembered for the rest of
  // the rule, and a long list is read once rather than once an edit.
  json::Array* normal_form_tags(std::string_view id, json::Object& entity);

  // Edit in place the "tags" array of the entity `id`, which holds strings only; the undo log
  // keeps where the change was, not a copy of the list, so an edit of a long list stays cheap.
  // `insert_tag` puts `tag` at `position`; `erase_tag` drops the copies of `tag` standing at
  // `positions` (ascending, not empty) and keeps the others in order.
  void insert_tag(std::string_view id, json::Array& tags, std::size_t position, std::string_view tag);
  void erase_tag(std::string_view id, json::Array& tags, std::vector<std::size_t> positions, std::string_view tag);

  // Whether the entity `id` exists and its "tags" array holds `tag`.
  bool entity_has_tag(std::string_view id, std::string_view tag);

  // The first `limit` ids, in UTF-16 order, of the members of `entities` (the state's
  // "entities") whose "tags" array holds `tag`. The first selection indexes the world.
  std::vector<std::string> select_tagged(const json::Object& entities, std::string_view tag, std::size_t limit);

 private:
  enum class EditKind : std::uint8_t { kEntityCreated, kPropertyWritten, kTagsReplaced, kTagInserted, kTagErased };

  // Entities are named by id, not by pointer: creating an entity moves the others in memory.
  struct Edit {
    EditKind kind;
    std::string entity;
    std::string name;                     // the property written, or the tag inserted or erased
    std::optional<json::Value> previous;  // the member's value before the edit; none when it was absent
    std::vector<std::size_t> positions;   // where the tag was inserted, or each erased copy stood (ascending)
  };

  json::Value* find_entity_mut(std::string_view id) noexcept;

  // Undoes an edit of a tags array in place; `tags` is the entity's "tags" member.
  void undo_tag_edit(Edit& edit, json::Value* tags) noexcept;

  void roll_back() noexcept;

  json::Value& state_;
  SelectionIndex::Tables& selections_;
  std::vector<Edit> log_;
  std::set<std::string, std::less<>> normal_form_entities_;
};

}  // namespace kest::ruleset
