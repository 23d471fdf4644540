#include "leaf_mutations.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "kest/result.hpp"
#include "kest/snapshot.hpp"
#include "kest/utf8.hpp"
#include "values.hpp"

namespace kest::ruleset {
namespace {

Result<TargetRef> compile_mutation_target(const json::Value& node, bool in_foreach) {
  const std::string* target = node["target"].if_string();
  if (target == nullptr) return fail("AST: mutation target must be a string");
  return compile_target_ref(*target, in_foreach);
}

// Charges one leaf mutation that may run `multiplicity` times.
Result<void> charge_applied(ValidationBudget& budget, std::int64_t multiplicity) {
  budget.applied += multiplicity;
  if (budget.applied > kMaxApplied) {
    return fail("AST: applied-mutation budget exceeded (max " + std::to_string(kMaxApplied) + ")");
  }
  return {};
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

// The entity's "tags" when it is an array of strings only, which a tag edit may change in place.
json::Array* string_only_tags(json::Object& entity) {
  json::Value* stored = entity.find("tags");
  json::Array* tags = stored != nullptr ? stored->if_array() : nullptr;
  if (tags == nullptr || !std::ranges::all_of(*tags, [](const json::Value& tag) { return tag.is_string(); })) {
    return nullptr;
  }
  return tags;
}

// Where `tag` stands, or would stand, in a list of tags in normal form.
struct TagPlace {
  std::size_t position;
  bool present;
};

TagPlace place_of(const json::Array& normal, std::string_view tag) {
  auto place = std::ranges::lower_bound(
      normal, tag, json::utf16_less, [](const json::Value& element) { return std::string_view(element.as_string()); });
  return {static_cast<std::size_t>(place - normal.begin()), place != normal.end() && place->as_string() == tag};
}

// Tag lists of strings are edited in place, which gives the same list as rebuilding them: the
// normalised list with the tag added is the normal form with the tag put at its place, and
// removal from strings only keeps the rest as they stand. So a rule editing a long list a
// thousand times does not rebuild it a thousand times.

// The entity's strings and the tag, in normal form; elements of other kinds go.
void add_tag(WorkingState& world, std::string_view id, json::Object& entity, const std::string& tag) {
  if (json::Array* normal = world.normal_form_tags(id, entity)) {
    const TagPlace place = place_of(*normal, tag);
    if (!place.present) world.insert_tag(id, *normal, place.position, tag);
    return;
  }
  world.replace_tags(id, entity, snapshot::string_tags_with(entity.find("tags"), tag));
}

// Every copy of the tag goes and the other strings keep their order; elements of other kinds go
// too.
void remove_tag(WorkingState& world, std::string_view id, json::Object& entity, const std::string& tag) {
  if (json::Array* normal = world.normal_form_tags(id, entity)) {
    const TagPlace place = place_of(*normal, tag);
    if (place.present) world.erase_tag(id, *normal, {place.position}, tag);
  } else if (json::Array* strings = string_only_tags(entity)) {
    std::vector<std::size_t> copies;
    for (std::size_t i = 0; i < strings->size(); ++i) {
      if ((*strings)[i].as_string() == tag) copies.push_back(i);
    }
    if (!copies.empty()) world.erase_tag(id, *strings, std::move(copies), tag);
  } else {
    json::Array kept;
    if (const json::Value* stored = entity.find("tags"); stored != nullptr && stored->is_array()) {
      for (const json::Value& element : stored->as_array()) {
        if (const std::string* text = element.if_string(); text != nullptr && *text != tag) kept.push_back(element);
      }
    }
    world.replace_tags(id, entity, std::move(kept));
  }
}

}  // namespace

Result<PropertyEdit> compile_property_edit(MutationOp op, const json::Value& node, ValidationBudget& budget,
                                           std::int64_t multiplicity, bool in_foreach) {
  KEST_ASSIGN_OR_RETURN(TargetRef target, compile_mutation_target(node, in_foreach));
  const std::string* property = node["property"].if_string();
  if (property == nullptr) return fail("AST: property must be a string");
  KEST_RETURN_IF_ERROR(assert_clean_name(*property, "property"));
  KEST_ASSIGN_OR_RETURN(Expr value, compile_expr(node["value"], budget, 0, multiplicity, in_foreach));
  KEST_RETURN_IF_ERROR(charge_applied(budget, multiplicity));
  return PropertyEdit{op, target, *property, std::move(value)};
}

Result<TagEdit> compile_tag_edit(MutationOp op, const json::Value& node, ValidationBudget& budget,
                                 std::int64_t multiplicity, bool in_foreach) {
  KEST_ASSIGN_OR_RETURN(TargetRef target, compile_mutation_target(node, in_foreach));
  const std::string* tag = node["tag"].if_string();
  if (tag == nullptr) return fail("AST: tag must be a string");
  KEST_RETURN_IF_ERROR(assert_clean_name(*tag, "tag"));
  KEST_RETURN_IF_ERROR(charge_applied(budget, multiplicity));
  return TagEdit{op, target, *tag};
}

Result<void> apply(const PropertyEdit& edit, WorkingState& world, EvalContext& context,
                   std::vector<AppliedMutation>& applied) {
  KEST_ASSIGN_OR_RETURN(std::string_view id, resolve_target_id(edit.target, context));
  KEST_ASSIGN_OR_RETURN(std::int64_t value, evaluate(edit.value, world, context));
  // Read even by set_prop: a stored value that is not a JS-safe integer is never overwritten.
  KEST_ASSIGN_OR_RETURN(std::int64_t previous, read_prop(world, id, edit.property));
  KEST_ASSIGN_OR_RETURN(std::int64_t next, next_property_value(edit.op, previous, value));
  KEST_ASSIGN_OR_RETURN(json::Object * entity, world.entity_mut(id));
  KEST_RETURN_IF_ERROR(world.write_property(id, *entity, edit.property, next));
  applied.push_back(AppliedMutation{edit.op, std::string(id), edit.property, std::nullopt, previous, next});
  return {};
}

Result<void> apply(const TagEdit& edit, WorkingState& world, const EvalContext& context,
                   std::vector<AppliedMutation>& applied) {
  KEST_ASSIGN_OR_RETURN(std::string_view id, resolve_target_id(edit.target, context));
  KEST_ASSIGN_OR_RETURN(json::Object * entity, world.entity_mut(id));
  switch (edit.op) {
    case MutationOp::kAddTag: add_tag(world, id, *entity, edit.tag); break;
    case MutationOp::kRemoveTag: remove_tag(world, id, *entity, edit.tag); break;
    case MutationOp::kSetProp:
    case MutationOp::kAddProp:
    case MutationOp::kSubProp: return fail("AST: malformed mutation node");  // unreachable: tag edits only
  }
  applied.push_back(AppliedMutation{edit.op, std::string(id), std::nullopt, edit.tag, std::nullopt, std::nullopt});
  return {};
}

}  // namespace kest::ruleset
