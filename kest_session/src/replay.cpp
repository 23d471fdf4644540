// Chain-tail replay. The payload was authenticated by its record's signature, so nothing in it is
// validated here: every part that does not have the expected shape is skipped.
#include <algorithm>

#include "replay.hpp"

#include "kest/session.hpp"
#include "kest/snapshot.hpp"

namespace kest::session {
namespace {

json::Value new_entity() { return json::Object{{"properties", json::Object{}}, {"tags", json::Array{}}}; }

// The entity's string tags plus the new one, in normal form. Elements of other kinds are dropped.
void add_tag(json::Object& entity, const std::string& tag) {
  std::vector<std::string> tags;
  const json::Value* stored = entity.find("tags");
  if (const json::Array* elements = stored != nullptr ? stored->if_array() : nullptr) {
    for (const json::Value& element : *elements) {
      if (const std::string* text = element.if_string()) tags.push_back(*text);
    }
  }
  tags.push_back(tag);
  json::Array normalized;
  for (std::string& text : snapshot::normalize_tags(std::move(tags))) normalized.emplace_back(std::move(text));
  entity.insert_or_assign("tags", std::move(normalized));
}

// Every copy of the tag goes; the other elements keep their order and the list is not normalised.
void remove_tag(json::Object& entity, const std::string& tag) {
  json::Value* stored = entity.find("tags");
  json::Array* tags = stored != nullptr ? stored->if_array() : nullptr;
  if (tags == nullptr) return;
  std::erase_if(*tags, [&](const json::Value& element) {
    const std::string* text = element.if_string();
    return text != nullptr && *text == tag;
  });
}

// The property takes the recorded value as it stands: no range check, no arithmetic.
void set_property(json::Object& entity, const json::Value& mutation) {
  const std::string* property = mutation["property"].if_string();
  const json::Value* next = mutation.find("next");
  if (property == nullptr || next == nullptr) return;
  json::Value* properties = entity.find("properties");
  if (properties == nullptr) properties = &entity.insert_or_assign("properties", json::Object{});
  if (json::Object* by_name = properties->if_object()) by_name->insert_or_assign(*property, *next);
}

}  // namespace

void TailReplay::replay_mutation(const json::Value& mutation) {
  const std::string* target = mutation["target"].if_string();
  json::Object* world = state_.if_object();
  if (target == nullptr || world == nullptr) return;
  json::Value* entities = world->find("entities");
  if (entities == nullptr) entities = &world->insert_or_assign("entities", json::Object{});
  json::Object* by_id = entities->if_object();
  if (by_id == nullptr) return;
  // The target exists from here on, whether or not the rest of the mutation applies.
  json::Value* entity = by_id->find(*target);
  if (entity == nullptr) entity = &created_.try_emplace(*target, new_entity());
  json::Object* fields = entity->if_object();
  if (fields == nullptr) return;

  const std::string* op = mutation["op"].if_string();
  const std::string* tag = mutation["tag"].if_string();
  if (op != nullptr && *op == "add_tag") {
    if (tag != nullptr) add_tag(*fields, *tag);
  } else if (op != nullptr && *op == "remove_tag") {
    if (tag != nullptr) remove_tag(*fields, *tag);
  } else {
    set_property(*fields, mutation);
  }
}

void TailReplay::replay(const json::Value& payload) {
  if (const json::Array* actions = payload["actions_processed"].if_array()) {
    for (const json::Value& action : *actions) {
      if (const json::Array* mutations = action["mutations_applied"].if_array()) {
        for (const json::Value& mutation : *mutations) replay_mutation(mutation);
      }
    }
  }
  if (json::Object* world = state_.if_object()) {
    if (const json::Value* epoch = payload.find("epoch_number")) world->insert_or_assign("epoch", *epoch);
  }
}

json::Value TailReplay::finish() && {
  // Entities are only created in an object, which replay never replaces.
  if (json::Value* entities = state_.find("entities")) {
    if (json::Object* by_id = entities->if_object()) created_.merge_into(*by_id);
  }
  return std::move(state_);
}

json::Value replay_epoch_event(json::Value state, const json::Value& payload) {
  TailReplay replay(std::move(state));
  replay.replay(payload);
  return std::move(replay).finish();
}

}  // namespace kest::session
