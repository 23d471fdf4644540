// Chain-tail replay. The payload was authenticated by its record's signature, so nothing in it is
// validated here: every part that does not have the expected shape is skipped, except an
// operation this engine does not know, which fails the replay.
#include <algorithm>
#include <optional>

#include "kest/mutation_op.hpp"
#include "kest/session.hpp"
#include "kest/snapshot.hpp"
#include "replay.hpp"

namespace kest::session {
namespace {

// Every copy of the tag goes; the other elements, strings or not, keep their order and the list is
// not normalised.
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

// A record whose operation this engine does not know cannot be replayed: guessing would drift
// the resumed world away from the one that was sealed.
Result<void> TailReplay::replay_mutation(const json::Value& mutation) {
  if (!mutation.is_object()) return {};
  const std::string* name = mutation["op"].if_string();
  std::optional<ruleset::MutationOp> op = name != nullptr ? ruleset::mutation_op_from_name(*name) : std::nullopt;
  if (!op) return fail("world-session: chain tail records a mutation with an unknown op");
  const std::string* target = mutation["target"].if_string();
  json::Object* world = state_.if_object();
  if (target == nullptr || world == nullptr) return {};
  json::Value* entities = world->find("entities");
  if (entities == nullptr) entities = &world->insert_or_assign("entities", json::Object{});
  json::Object* by_id = entities->if_object();
  if (by_id == nullptr) return {};
  // The target exists from here on, whether or not the rest of the mutation applies.
  json::Value* entity = by_id->find(*target);
  if (entity == nullptr) entity = &created_.try_emplace(*target, snapshot::new_entity());
  json::Object* fields = entity->if_object();
  if (fields == nullptr) return {};

  const std::string* tag = mutation["tag"].if_string();
  switch (*op) {
    case ruleset::MutationOp::kSetProp:
    case ruleset::MutationOp::kAddProp:
    case ruleset::MutationOp::kSubProp: set_property(*fields, mutation); break;
    case ruleset::MutationOp::kAddTag:
      if (tag != nullptr) fields->insert_or_assign("tags", snapshot::string_tags_with(fields->find("tags"), *tag));
      break;
    case ruleset::MutationOp::kRemoveTag:
      if (tag != nullptr) remove_tag(*fields, *tag);
      break;
  }
  return {};
}

Result<void> TailReplay::replay(const json::Value& payload) {
  if (const json::Array* actions = payload["actions_processed"].if_array()) {
    for (const json::Value& action : *actions) {
      if (const json::Array* mutations = action["mutations_applied"].if_array()) {
        for (const json::Value& mutation : *mutations) KEST_RETURN_IF_ERROR(replay_mutation(mutation));
      }
    }
  }
  if (json::Object* world = state_.if_object()) {
    if (const json::Value* epoch = payload.find("epoch_number")) world->insert_or_assign("epoch", *epoch);
  }
  return {};
}

json::Value TailReplay::finish() && {
  // Entities are only created in an object, which replay never replaces.
  if (json::Value* entities = state_.find("entities")) {
    if (json::Object* by_id = entities->if_object()) created_.merge_into(*by_id);
  }
  return std::move(state_);
}

Result<json::Value> replay_epoch_event(json::Value state, const json::Value& payload) {
  TailReplay replay(std::move(state));
  KEST_RETURN_IF_ERROR(replay.replay(payload));
  return std::move(replay).finish();
}

}  // namespace kest::session
