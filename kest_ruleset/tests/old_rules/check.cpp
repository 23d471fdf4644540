// Checks: their validation and their evaluation into a degree.
#include "check.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "conditions.hpp"
#include "context.hpp"
#include "expressions.hpp"
#include "kest/result.hpp"
#include "kest/utf8.hpp"
#include "mutations.hpp"
#include "values.hpp"

namespace kest::ruleset::old {
namespace {

// The degrees a check can select, strongest first; any other name is validated but never chosen.
constexpr std::array<std::string_view, 4> kDegreesByPrecedence = {"critical_success", "success", "failure",
                                                                  "critical_failure"};
constexpr std::string_view kNoDegree = "none";

Result<void> validate_degree(const json::Value& entry, ValidationBudget& budget) {
  KEST_RETURN_IF_ERROR(validate_degree_cond(entry["condition"], budget, 0, false));
  const json::Array* mutations = entry["mutations"].if_array();
  if (mutations == nullptr) return fail("AST: mutations must be an array");
  return validate_mutation_slice(*mutations, budget, 0, 1, false);
}

}  // namespace

Result<void> validate_check(const json::Value& check) {
  const std::string* type = check["type"].if_string();
  if (type == nullptr || *type != "check") return fail("AST: expected a check node");
  ValidationBudget budget;
  KEST_RETURN_IF_ERROR(validate_expr(check["roll"], budget, 0, 1, false));
  KEST_RETURN_IF_ERROR(validate_expr(check["dc"], budget, 0, 1, false));
  const json::Object* degrees = check["degrees"].if_object();
  if (degrees == nullptr) return fail("AST: check.degrees must be an object");
  // Every degree shares the one budget, though only one degree's mutations will run.
  std::vector<const json::Member*> in_order;
  in_order.reserve(degrees->size());
  for (const json::Member& member : *degrees) in_order.push_back(&member);
  std::ranges::sort(in_order, json::utf16_less,
                    [](const json::Member* member) { return std::string_view(member->key); });
  for (const json::Member* degree : in_order) {
    KEST_RETURN_IF_ERROR(validate_degree(degree->value, budget));
  }
  return {};
}

Result<CheckOutcome> eval_check_core(WorkingState& world, const json::Value& check, std::string_view actor,
                                     std::optional<std::string_view> target, math::DieRoller& dice) {
  EvalContext context{actor, target, std::nullopt, dice, std::nullopt};
  KEST_ASSIGN_OR_RETURN(std::int64_t roll, eval_expr(check["roll"], world, context, 0));
  // Taken before the dc is rolled, so only the roll's own dice can supply the natural die.
  std::optional<std::int64_t> natural = context.first_die;
  KEST_ASSIGN_OR_RETURN(std::int64_t dc, eval_expr(check["dc"], world, context, 0));
  KEST_ASSIGN_OR_RETURN(std::int64_t delta, assert_int128(Int128{roll} - dc, "delta"));
  const json::Object* degrees = check["degrees"].if_object();
  if (degrees == nullptr) return fail("AST: check.degrees must be an object");
  CheckQuantities quantities{natural, roll, dc, delta};
  CheckOutcome outcome{std::string(kNoDegree), natural, roll, dc, delta, {}};
  const json::Value* selected = nullptr;
  for (std::string_view name : kDegreesByPrecedence) {
    const json::Value* entry = degrees->find(name);
    if (entry == nullptr) continue;
    KEST_ASSIGN_OR_RETURN(bool holds, match_condition((*entry)["condition"], world, context, &quantities, 0));
    if (holds) {
      outcome.degree = name;
      selected = entry;
      break;
    }
  }
  if (selected == nullptr) return outcome;
  if (const json::Array* mutations = (*selected)["mutations"].if_array()) {
    KEST_RETURN_IF_ERROR(apply_mutation_list(world, *mutations, context, &quantities, outcome.applied));
  }
  return outcome;
}

}  // namespace kest::ruleset::old
