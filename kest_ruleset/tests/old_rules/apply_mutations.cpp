// Application of mutations to a working state, recording every applied leaf in order.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "conditions.hpp"
#include "expressions.hpp"
#include "kest/result.hpp"
#include "kest/snapshot.hpp"
#include "kest/utf8.hpp"
#include "mutations.hpp"
#include "values.hpp"

namespace kest::ruleset::old {
namespace {

Result<std::string_view> mutation_target(const json::Value& node, const EvalContext& context) {
  const std::string* target = node["target"].if_string();
  if (target == nullptr) return fail("AST: mutation target must be a string");
  return resolve_target_id(*target, context);
}

// The value a property edit stores in place of `previous`.
Result<std::int64_t> next_property_value(MutationOp op, std::int64_t previous, std::int64_t value) {
  switch (op) {
    case MutationOp::kSetProp: return value;
    case MutationOp::kAddProp: return assert_int128(Int128{previous} + value, "mutated property");
    case MutationOp::kSubProp: return assert_int128(Int128{previous} - value, "mutated property");
    case MutationOp::kAddTag:
    case MutationOp::kRemoveTag: break;
  }
  return fail("AST: malformed mutation node");  // unreachable: only property edits get here
}

Result<void> apply_property_mutation(MutationOp op, WorkingState& world, const json::Value& node, EvalContext& context,
                                     std::vector<AppliedMutation>& applied) {
  KEST_ASSIGN_OR_RETURN(std::string_view id, mutation_target(node, context));
  KEST_ASSIGN_OR_RETURN(std::int64_t value, eval_expr(node["value"], world, context, 0));
  const std::string* property = node["property"].if_string();
  if (property == nullptr) return fail("AST: property must be a string");
  // Read even by set_prop: a stored value that is not a JS-safe integer is never overwritten.
  KEST_ASSIGN_OR_RETURN(std::int64_t previous, read_prop(world, id, *property));
  KEST_ASSIGN_OR_RETURN(std::int64_t next, next_property_value(op, previous, value));
  KEST_ASSIGN_OR_RETURN(json::Object * entity, world.entity_mut(id));
  KEST_RETURN_IF_ERROR(world.write_property(id, *entity, *property, next));
  applied.push_back(AppliedMutation{op, std::string(id), *property, std::nullopt, previous, next});
  return {};
}

// The string elements of an entity's tags; an absent or non-array "tags" holds none.
std::vector<std::string> string_tags(const json::Object& entity) {
  std::vector<std::string> tags;
  const json::Value* stored = entity.find("tags");
  if (stored == nullptr || !stored->is_array()) return tags;
  for (const json::Value& element : stored->as_array()) {
    if (const std::string* text = element.if_string()) tags.push_back(*text);
  }
  return tags;
}

// The entity's "tags" when it is an array of strings only, which a tag edit may change in place.
json::Array* string_only_tags(json::Object& entity) {
  json::Value* stored = entity.find("tags");
  json::Array* tags = stored != nullptr ? stored->if_array() : nullptr;
  if (tags == nullptr || !std::ranges::all_of(*tags, [](const json::Value& tag) { return tag.is_string(); })) {
    return nullptr;
  }
  return tags;
}

// The tags rebuilt as add_tag and remove_tag define them, for a list of any shape.
json::Array rebuilt_tags(MutationOp op, const json::Object& entity, const std::string& tag) {
  std::vector<std::string> tags = string_tags(entity);
  if (op == MutationOp::kAddTag) {
    tags.push_back(tag);
    tags = snapshot::normalize_tags(std::move(tags));
  } else {
    std::erase(tags, tag);  // the others keep their order
  }
  return json::Array(std::make_move_iterator(tags.begin()), std::make_move_iterator(tags.end()));
}

Result<void> apply_tag_mutation(MutationOp op, WorkingState& world, const json::Value& node, const EvalContext& context,
                                std::vector<AppliedMutation>& applied) {
  KEST_ASSIGN_OR_RETURN(std::string_view id, mutation_target(node, context));
  const std::string* tag = node["tag"].if_string();
  if (tag == nullptr) return fail("AST: tag must be a string");
  KEST_ASSIGN_OR_RETURN(json::Object * entity, world.entity_mut(id));
  // A list of strings is edited in place, which gives the same list as rebuilding it: the
  // normalised list with the tag added is the normal form with the tag put at its place, and
  // removal from strings only keeps the rest as they stand. So a rule editing a long list a
  // thousand times does not rebuild it a thousand times.
  if (json::Array* normal = world.normal_form_tags(id, *entity)) {
    auto place =
        std::ranges::lower_bound(*normal, std::string_view(*tag), json::utf16_less,
                                 [](const json::Value& element) { return std::string_view(element.as_string()); });
    const auto position = static_cast<std::size_t>(place - normal->begin());
    const bool present = place != normal->end() && place->as_string() == *tag;
    if (op == MutationOp::kAddTag && !present) world.insert_tag(id, *normal, position, *tag);
    if (op == MutationOp::kRemoveTag && present) world.erase_tag(id, *normal, {position}, *tag);
  } else if (json::Array* strings = string_only_tags(*entity); op == MutationOp::kRemoveTag && strings != nullptr) {
    std::vector<std::size_t> copies;
    for (std::size_t i = 0; i < strings->size(); ++i) {
      if ((*strings)[i].as_string() == *tag) copies.push_back(i);
    }
    if (!copies.empty()) world.erase_tag(id, *strings, std::move(copies), *tag);
  } else {
    world.replace_tags(id, *entity, rebuilt_tags(op, *entity, *tag));
  }
  applied.push_back(AppliedMutation{op, std::string(id), std::nullopt, *tag, std::nullopt, std::nullopt});
  return {};
}

Result<void> apply_if(WorkingState& world, const json::Value& node, EvalContext& context,
                      const CheckQuantities* quantities, std::vector<AppliedMutation>& applied) {
  KEST_ASSIGN_OR_RETURN(bool holds, match_condition(node["condition"], world, context, quantities, 0));
  const json::Array* branch = node[holds ? "then" : "else"].if_array();
  if (branch == nullptr) return {};
  return apply_mutation_list(world, *branch, context, quantities, applied);
}

Result<void> apply_repeat(WorkingState& world, const json::Value& node, EvalContext& context,
                          const CheckQuantities* quantities, std::vector<AppliedMutation>& applied) {
  KEST_ASSIGN_OR_RETURN(std::int64_t count, repeat_count(node));
  const json::Array* body = node["mutations"].if_array();
  if (body == nullptr) return fail("AST: repeat.mutations must be an array");
  for (std::int64_t i = 0; i < count; ++i) {
    KEST_RETURN_IF_ERROR(apply_mutation_list(world, *body, context, quantities, applied));
  }
  return {};
}

Result<void> apply_foreach(WorkingState& world, const json::Value& node, EvalContext& context,
                           const CheckQuantities* quantities, std::vector<AppliedMutation>& applied) {
  const json::Value* select = node.find("select");
  if (select == nullptr) return fail("AST: foreach_target.select must be an object");
  const std::string* tag = (*select)["tag"].if_string();
  if (tag == nullptr) return fail("AST: tag name must be a non-empty string");
  const json::Object* entities = world.state()["entities"].if_object();
  if (entities == nullptr) return fail("AST: state.entities must be an object");
  if (world.entity_count() > kMaxWorldEntities) {
    return fail("AST: world entity count " + std::to_string(world.entity_count()) + " exceeds MAX_WORLD_ENTITIES (" +
                std::to_string(kMaxWorldEntities) + ") at foreach_target select");
  }
  KEST_ASSIGN_OR_RETURN(std::int64_t limit, selection_limit(*select));
  const json::Array* body = node["mutations"].if_array();
  if (body == nullptr) return fail("AST: foreach_target.mutations must be an array");
  // Selected once, before the body runs: tags the body changes do not change the visits.
  std::vector<std::string> ids = world.select_tagged(*entities, *tag, static_cast<std::size_t>(limit));
  std::optional<std::string_view> outer = context.each;
  Result<void> done{};
  for (const std::string& id : ids) {
    context.each = id;
    done = apply_mutation_list(world, *body, context, quantities, applied);
    if (!done) break;
  }
  context.each = outer;  // also on failure: the binding must not outlive `ids`
  return done;
}

}  // namespace

Result<void> apply_mutation_list(WorkingState& world, const json::Array& list, EvalContext& context,
                                 const CheckQuantities* quantities, std::vector<AppliedMutation>& applied) {
  for (const json::Value& node : list) {
    KEST_RETURN_IF_ERROR(apply_mutation_node(world, node, context, quantities, applied));
  }
  return {};
}

Result<void> apply_mutation_node(WorkingState& world, const json::Value& node, EvalContext& context,
                                 const CheckQuantities* quantities, std::vector<AppliedMutation>& applied) {
  const std::string* type = node["type"].if_string();
  if (type == nullptr) return fail("AST: malformed mutation node");
  if (std::optional<MutationOp> op = mutation_op_from_name(*type)) {
    return edits_property(*op) ? apply_property_mutation(*op, world, node, context, applied)
                               : apply_tag_mutation(*op, world, node, context, applied);
  }
  if (*type == "if") return apply_if(world, node, context, quantities, applied);
  if (*type == "repeat") return apply_repeat(world, node, context, quantities, applied);
  if (*type == "foreach_target") return apply_foreach(world, node, context, quantities, applied);
  return fail("AST: unknown mutation node type: " + *type);
}

}  // namespace kest::ruleset::old
