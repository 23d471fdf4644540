// Chain-tail replay. The payload was authenticated by its record's signature, so nothing in it is
// validated here and nothing in it fails the replay: every part that does not have the expected
// shape is skipped.
#include <algorithm>
#include <optional>

#include "kest/mutation_op.hpp"
#include "kest/session.hpp"
#include "kest/snapshot.hpp"
#include "replay.hpp"

namespace kest::session {
namespace {

enum class RecordedEdit { kAddTag, kRemoveTag, kPropertyWrite };

// The one place that reads a record's "op". Only the two tag operations are told apart; any other
// op, whether one this engine applies, a name it does not know, a value that is no string or no
// op at all, writes the recorded "next". A newer engine, or a sibling with operations this one
// lacks, signs records whose outcome is that value, and their bundles must still resume here.
RecordedEdit recorded_edit(const json::Value& op) {
  const std::string* name = op.if_string();
  const std::optional<ruleset::MutationOp> known =
      name != nullptr ? ruleset::mutation_op_from_name(*name) : std::nullopt;
  if (!known) return RecordedEdit::kPropertyWrite;
  switch (*known) {
    case ruleset::MutationOp::kSetProp:
    case ruleset::MutationOp::kAddProp:
    case ruleset::MutationOp::kSubProp: return RecordedEdit::kPropertyWrite;
    case ruleset::MutationOp::kAddTag: return RecordedEdit::kAddTag;
    case ruleset::MutationOp::kRemoveTag: return RecordedEdit::kRemoveTag;
  }
  return RecordedEdit::kPropertyWrite;  // unreachable: the switch covers every operation
}

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

// The property takes the recorded value as it stands, null included: no range check, no
// arithmetic.
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
  // The target exists from here on, whatever the op and whether or not the rest applies.
  json::Value* entity = by_id->find(*target);
  if (entity == nullptr) entity = &created_.try_emplace(*target, snapshot::new_entity());
  json::Object* fields = entity->if_object();
  if (fields == nullptr) return;

  const std::string* tag = mutation["tag"].if_string();
  switch (recorded_edit(mutation["op"])) {
    case RecordedEdit::kAddTag:
      if (tag != nullptr) fields->insert_or_assign("tags", snapshot::string_tags_with(fields->find("tags"), *tag));
      return;
    case RecordedEdit::kRemoveTag:
      if (tag != nullptr) remove_tag(*fields, *tag);
      return;
    case RecordedEdit::kPropertyWrite: set_property(*fields, mutation); return;
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
