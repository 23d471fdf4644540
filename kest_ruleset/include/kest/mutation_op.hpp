// The leaf mutations a rule can apply, and the names they carry in rules and in the records of
// what was applied. Every place that acts on an operation switches over `MutationOp` without a
// default, so a new operation that one of them misses fails to compile.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace kest::ruleset {

enum class MutationOp { kSetProp, kAddProp, kSubProp, kAddTag, kRemoveTag };

// Every operation, in the order the names are documented.
inline constexpr std::array kMutationOps = {MutationOp::kSetProp, MutationOp::kAddProp, MutationOp::kSubProp,
                                            MutationOp::kAddTag, MutationOp::kRemoveTag};

constexpr std::string_view mutation_op_name(MutationOp op) noexcept {
  switch (op) {
    case MutationOp::kSetProp: return "set_prop";
    case MutationOp::kAddProp: return "add_prop";
    case MutationOp::kSubProp: return "sub_prop";
    case MutationOp::kAddTag: return "add_tag";
    case MutationOp::kRemoveTag: return "remove_tag";
  }
  return {};  // unreachable: the switch covers every operation
}

// The operation a rule or record names; none for any other name.
constexpr std::optional<MutationOp> mutation_op_from_name(std::string_view name) noexcept {
  for (MutationOp op : kMutationOps) {
    if (mutation_op_name(op) == name) return op;
  }
  return std::nullopt;
}

// Whether the operation writes a property ("property", "previous", "next") rather than a tag.
constexpr bool edits_property(MutationOp op) noexcept {
  switch (op) {
    case MutationOp::kSetProp:
    case MutationOp::kAddProp:
    case MutationOp::kSubProp: return true;
    case MutationOp::kAddTag:
    case MutationOp::kRemoveTag: return false;
  }
  return false;  // unreachable: the switch covers every operation
}

}  // namespace kest::ruleset
