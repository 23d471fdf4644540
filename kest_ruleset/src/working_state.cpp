#include "working_state.hpp"

#include <algorithm>
#include <ranges>
#include <utility>

#include "kest/result.hpp"
#include "kest/snapshot.hpp"
#include "values.hpp"

namespace kest::ruleset {
namespace {

// A property of `entity` as a JS-safe integer; 0 when missing.
Result<std::int64_t> property_of(const json::Value& entity, std::string_view property) {
  const json::Value* value = entity["properties"].find(property);
  if (value == nullptr) return 0;
  return value_int(*value, "property");
}

// Puts back the member `key` as it was: its previous value, or no member at all.
void restore_member(json::Object& object, std::string_view key, std::optional<json::Value>& previous) noexcept {
  if (!previous) {
    object.erase(key);
  } else if (json::Value* member = object.find(key)) {
    *member = std::move(*previous);
  }
}

}  // namespace

Result<std::int64_t> read_prop(const json::Value& state, std::string_view id, std::string_view property) {
  return property_of(state["entities"][id], property);
}

Result<std::int64_t> read_prop(const WorkingState& world, std::string_view id, std::string_view property) {
  const json::Value* entity = world.find_entity(id);
  if (entity == nullptr) return 0;
  return property_of(*entity, property);
}

bool entity_has_tag(const json::Value& entity, std::string_view tag) noexcept {
  const json::Array* tags = entity["tags"].if_array();
  if (tags == nullptr) return false;
  for (const json::Value& element : *tags) {
    const std::string* text = element.if_string();
    if (text != nullptr && *text == tag) return true;
  }
  return false;
}

Result<json::Object*> WorkingState::entity_mut(std::string_view id) {
  json::Value* entities_value = state_.find("entities");
  json::Object* entities = entities_value != nullptr ? entities_value->if_object() : nullptr;
  if (entities == nullptr) return fail("AST: state.entities must be an object");
  if (json::Value* entity = entities->find(id)) {
    json::Object* object = entity->if_object();
    if (object == nullptr) return fail("AST: entity must be an object");
    return object;
  }
  CreatedEntities& created = selections_.created();
  json::Value* held = created.find(id);
  if (held == nullptr) {
    held = &created.try_emplace(id, snapshot::new_entity());
    log_.push_back(Edit{EditKind::kEntityCreated, std::string(id), {}, std::nullopt, {}});
  }
  return &held->as_object();
}

const json::Value* WorkingState::find_entity(std::string_view id) const noexcept {
  const json::Object* entities = state_["entities"].if_object();
  if (entities == nullptr) return nullptr;
  if (const json::Value* entity = entities->find(id)) return entity;
  return selections_.created().find(id);
}

json::Value* WorkingState::find_entity_mut(std::string_view id) noexcept {
  return const_cast<json::Value*>(std::as_const(*this).find_entity(id));
}

std::size_t WorkingState::entity_count() const noexcept {
  const json::Object* entities = state_["entities"].if_object();
  return entities != nullptr ? entities->size() + selections_.created().size() : 0;
}

Result<void> WorkingState::write_property(std::string_view id, json::Object& entity, std::string_view property,
                                          std::int64_t value) {
  json::Value* properties_value = entity.find("properties");
  json::Object* properties = properties_value != nullptr ? properties_value->if_object() : nullptr;
  if (properties == nullptr) return fail("AST: entity.properties must be an object");
  Edit edit{EditKind::kPropertyWritten, std::string(id), std::string(property), std::nullopt, {}};
  if (json::Value* stored = properties->find(property)) {
    edit.previous = std::exchange(*stored, json::Value(value));
  } else {
    properties->insert_or_assign(std::string(property), json::Value(value));
  }
  log_.push_back(std::move(edit));
  return {};
}

void WorkingState::replace_tags(std::string_view id, json::Object& entity, json::Array tags) {
  if (auto known = normal_form_entities_.find(id); known != normal_form_entities_.end()) {
    normal_form_entities_.erase(known);
  }
  Edit edit{EditKind::kTagsReplaced, std::string(id), {}, std::nullopt, {}};
  const json::Value* written = nullptr;
  if (json::Value* stored = entity.find("tags")) {
    edit.previous = std::exchange(*stored, json::Value(std::move(tags)));
    written = stored;
  } else {
    written = &entity.insert_or_assign("tags", json::Value(std::move(tags)));
  }
  selections_.retag(id, edit.previous ? &*edit.previous : nullptr, written);
  log_.push_back(std::move(edit));
}

json::Array* WorkingState::normal_form_tags(std::string_view id, json::Object& entity) {
  json::Value* stored = entity.find("tags");
  json::Array* tags = stored != nullptr ? stored->if_array() : nullptr;
  if (tags == nullptr) return nullptr;
  if (normal_form_entities_.contains(id)) return tags;
  auto out_of_order = [](const json::Value& a, const json::Value& b) {
    return !a.is_string() || !b.is_string() || json::compare_utf16(a.as_string(), b.as_string()) >= 0;
  };
  if (tags->size() == 1 && !tags->front().is_string()) return nullptr;
  if (std::ranges::adjacent_find(*tags, out_of_order) != tags->end()) return nullptr;
  normal_form_entities_.emplace(id);
  return tags;
}

void WorkingState::insert_tag(std::string_view id, json::Array& tags, std::size_t position, std::string_view tag) {
  tags.insert(tags.begin() + static_cast<std::ptrdiff_t>(position), json::Value(tag));
  selections_.tag_added(id, tag);
  log_.push_back(Edit{EditKind::kTagInserted, std::string(id), std::string(tag), std::nullopt, {position}});
}

void WorkingState::erase_tag(std::string_view id, json::Array& tags, std::vector<std::size_t> positions,
                             std::string_view tag) {
  // The elements after the first erased one close up, skipping the other erased ones.
  std::size_t kept = positions.front();
  auto erased = positions.begin();
  for (std::size_t i = positions.front(); i < tags.size(); ++i) {
    if (erased != positions.end() && *erased == i) {
      ++erased;
      continue;
    }
    tags[kept++] = std::move(tags[i]);
  }
  tags.resize(kept);
  selections_.tag_removed(id, tag);
  log_.push_back(Edit{EditKind::kTagErased, std::string(id), std::string(tag), std::nullopt, std::move(positions)});
}

bool WorkingState::entity_has_tag(std::string_view id, std::string_view tag) {
  // A short list is read faster than the index is built. A long one, which a rule may ask about
  // a thousand times, is answered by the index, built once for the whole working state.
  constexpr std::size_t kMostTagsScanned = 32;
  const json::Value* entity = find_entity(id);
  if (entity == nullptr) return false;
  const json::Array* tags = (*entity)["tags"].if_array();
  if (tags == nullptr) return false;
  if (tags->size() <= kMostTagsScanned) return ruleset::entity_has_tag(*entity, tag);
  if (!selections_.built()) selections_.build(state_["entities"].as_object());
  return selections_.carries(id, tag);
}

std::vector<std::string> WorkingState::select_tagged(const json::Object& entities, std::string_view tag,
                                                     std::size_t limit) {
  if (!selections_.built()) selections_.build(entities);
  return selections_.select(tag, limit);
}

void WorkingState::undo_tag_edit(Edit& edit, json::Value* tags) noexcept {
  json::Array* elements = tags != nullptr ? tags->if_array() : nullptr;
  if (elements == nullptr) return;
  if (edit.kind == EditKind::kTagInserted) {
    elements->erase(elements->begin() + static_cast<std::ptrdiff_t>(edit.positions.front()));
    selections_.tag_removed(edit.entity, edit.name);
    return;
  }
  // Ascending, each copy goes back where it stood with the earlier ones already in place.
  for (std::size_t position : edit.positions) {
    elements->insert(elements->begin() + static_cast<std::ptrdiff_t>(position), json::Value(edit.name));
  }
  selections_.tag_added(edit.entity, edit.name);
}

void WorkingState::roll_back() noexcept {
  normal_form_entities_.clear();
  // Each edit is undone on the state it left behind, so every member it names is found.
  for (Edit& edit : log_ | std::views::reverse) {
    json::Value* entity = find_entity_mut(edit.entity);
    if (entity == nullptr) continue;
    if (edit.kind == EditKind::kEntityCreated) {
      selections_.retag(edit.entity, entity->find("tags"), nullptr);
      selections_.created().erase(edit.entity);
      continue;
    }
    if (edit.kind == EditKind::kTagInserted || edit.kind == EditKind::kTagErased) {
      undo_tag_edit(edit, entity->find("tags"));
    } else if (edit.kind == EditKind::kTagsReplaced) {
      if (json::Object* object = entity->if_object()) {
        selections_.retag(edit.entity, object->find("tags"), edit.previous ? &*edit.previous : nullptr);
        restore_member(*object, "tags", edit.previous);
      }
    } else if (json::Value* properties = entity->find("properties")) {
      if (json::Object* object = properties->if_object()) restore_member(*object, edit.name, edit.previous);
    }
  }
  log_.clear();
}

}  // namespace kest::ruleset
