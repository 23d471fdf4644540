#include "check.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "context.hpp"
#include "kest/result.hpp"
#include "kest/utf8.hpp"
#include "values.hpp"

namespace kest::ruleset {
namespace {

// The degrees a check can select, strongest first.
constexpr std::array<std::string_view, 4> kDegreesByPrecedence = {"critical_success", "success", "failure",
                                                                  "critical_failure"};
constexpr std::string_view kNoDegree = "none";

// The degree's condition and mutations; its name is set by the caller.
Result<GradedDegree> compile_degree(const json::Value& entry, ValidationBudget& budget) {
  KEST_ASSIGN_OR_RETURN(Condition condition, compile_condition(entry["condition"], budget, 0, false));
  const json::Array* mutations = entry["mutations"].if_array();
  if (mutations == nullptr) return fail("AST: mutations must be an array");
  KEST_ASSIGN_OR_RETURN(MutationList compiled, compile_mutation_list(*mutations, budget, 0, 1, false));
  return GradedDegree{{}, std::move(condition), std::move(compiled)};
}

// Every degree is validated, in UTF-16 order of its name, and shares the one budget, though only
// one degree's mutations will run.
Result<std::vector<GradedDegree>> compile_degrees(const json::Object& degrees, ValidationBudget& budget) {
  std::vector<const json::Member*> in_order;
  in_order.reserve(degrees.size());
  for (const json::Member& member : degrees) in_order.push_back(&member);
  std::ranges::sort(in_order, json::utf16_less,
                    [](const json::Member* member) { return std::string_view(member->key); });
  std::array<std::optional<GradedDegree>, kDegreesByPrecedence.size()> by_precedence;
  for (const json::Member* degree : in_order) {
    KEST_ASSIGN_OR_RETURN(GradedDegree compiled, compile_degree(degree->value, budget));
    auto precedence = std::ranges::find(kDegreesByPrecedence, degree->key);
    if (precedence == kDegreesByPrecedence.end()) continue;  // validated, but never chosen
    compiled.name = *precedence;                             // the table's text, which outlives the rule
    by_precedence[static_cast<std::size_t>(precedence - kDegreesByPrecedence.begin())] = std::move(compiled);
  }
  std::vector<GradedDegree> graded;
  for (std::optional<GradedDegree>& degree : by_precedence) {
    if (degree) graded.push_back(std::move(*degree));
  }
  return graded;
}

}  // namespace

Result<CompiledCheck> compile_check(const json::Value& check) {
  const std::string* type = check["type"].if_string();
  if (type == nullptr || *type != "check") return fail("AST: expected a check node");
  ValidationBudget budget;
  KEST_ASSIGN_OR_RETURN(Expr roll, compile_expr(check["roll"], budget, 0, 1, false));
  KEST_ASSIGN_OR_RETURN(Expr dc, compile_expr(check["dc"], budget, 0, 1, false));
  const json::Object* degrees = check["degrees"].if_object();
  if (degrees == nullptr) return fail("AST: check.degrees must be an object");
  KEST_ASSIGN_OR_RETURN(std::vector<GradedDegree> graded, compile_degrees(*degrees, budget));
  return CompiledCheck{std::move(roll), std::move(dc), std::move(graded)};
}

Result<CheckOutcome> evaluate(const CompiledCheck& check, WorkingState& world, std::string_view actor,
                              std::optional<std::string_view> target, math::DieRoller& dice) {
  EvalContext context{actor, target, std::nullopt, dice, std::nullopt};
  KEST_ASSIGN_OR_RETURN(std::int64_t roll, evaluate(check.roll, world, context));
  // Taken before the dc is rolled, so only the roll's own dice can supply the natural die.
  std::optional<std::int64_t> natural = context.first_die;
  KEST_ASSIGN_OR_RETURN(std::int64_t dc, evaluate(check.dc, world, context));
  KEST_ASSIGN_OR_RETURN(std::int64_t delta, assert_int128(Int128{roll} - dc, "delta"));
  CheckQuantities quantities{natural, roll, dc, delta};
  CheckOutcome outcome{std::string(kNoDegree), natural, roll, dc, delta, {}};
  for (const GradedDegree& degree : check.degrees) {
    KEST_ASSIGN_OR_RETURN(bool holds, matches(degree.condition, world, context, &quantities));
    if (holds) {
      outcome.degree = degree.name;
      KEST_RETURN_IF_ERROR(apply(degree.mutations, world, context, &quantities, outcome.applied));
      break;
    }
  }
  return outcome;
}

}  // namespace kest::ruleset
