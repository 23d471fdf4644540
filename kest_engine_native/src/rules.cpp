// The rules functions: resolve a check action, or apply a triggered mutation list.
#include <charconv>

#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/ruleset.hpp"
#include "methods.hpp"
#include "without_lock.hpp"

namespace kest::boundary {
namespace {

// The arguments both functions take: (state_json, <rule>_json, actor, target=None, seed=0). The
// texts are views into the argument objects, which `arguments` keeps alive.
struct RuleCall {
  Arguments<5> arguments{};
  std::string_view state_json{};
  std::string_view rule_json{};
  std::string_view rule_what{};
  std::string_view actor{};
  std::optional<std::string_view> target{};
  std::uint64_t seed = 0;
};

// Converts every argument before anything is parsed.
bool bind_rule_call(RuleCall& call, PyObject* args, PyObject* kwargs, const char* function, const char* rule_name) {
  const char* const names[] = {"state_json", rule_name, "actor", "target", "seed"};
  if (!call.arguments.bind(args, kwargs, function, names, 3)) return false;
  auto state_json = to_text(call.arguments[0], "state_json");
  if (!state_json) return false;
  auto rule_json = to_text(call.arguments[1], rule_name);
  if (!rule_json) return false;
  auto actor = to_text(call.arguments[2], "actor");
  if (!actor) return false;
  auto target = to_optional_text(call.arguments[3], "target");
  if (!target) return false;
  std::optional<std::uint64_t> seed =
      call.arguments[4] != nullptr ? to_u64(call.arguments[4], "seed") : std::uint64_t{0};
  if (!seed) return false;
  call.state_json = *state_json;
  call.rule_json = *rule_json;
  call.actor = *actor;
  call.target = *target;
  call.seed = *seed;
  return true;
}

// The documents are parsed in argument order, so a bad state is reported before a bad rule.
Result<std::pair<json::Value, json::Value>> parse_documents(const RuleCall& call) {
  auto state = json::parse(call.state_json);
  if (!state) return fail("bad state json: " + state.error());
  auto rule = json::parse(call.rule_json);
  if (!rule) return fail("bad " + std::string(call.rule_what) + " json: " + rule.error());
  return std::pair{std::move(*state), std::move(*rule)};
}

void append_integer(std::string& out, std::string_view prefix, std::int64_t value) {
  out += prefix;
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end);
}

// {"dc","degree","delta","natural","roll","state"}: members in key order, as every compact
// document is written, and the state written in place rather than moved into a new object.
std::string action_result_json(const ruleset::CheckOutcome& outcome, const json::Value& state) {
  std::string out;
  append_integer(out, "{\"dc\":", outcome.dc);
  out += ",\"degree\":";
  json::write_string(out, outcome.degree);
  append_integer(out, ",\"delta\":", outcome.delta);
  if (outcome.natural) {
    append_integer(out, ",\"natural\":", *outcome.natural);
  } else {
    out += ",\"natural\":null";
  }
  append_integer(out, ",\"roll\":", outcome.roll);
  out += ",\"state\":";
  json::write_to(out, state);
  out += '}';
  return out;
}

// Both run without the interpreter lock from parsing to the written text. The boundary owns the
// states it parses, so the engine edits them in place instead of copying them.
PyObject* evaluate_action(PyObject* args, PyObject* kwargs) {
  RuleCall call{.rule_what = "check"};
  if (!bind_rule_call(call, args, kwargs, "evaluate_action", "check_json")) return nullptr;
  return text_or_value_error(without_interpreter_lock([&]() -> Result<std::string> {
    KEST_ASSIGN_OR_RETURN(auto documents, parse_documents(call));
    auto& [state, check] = documents;
    math::Pcg32 rng = math::Pcg32::seeded(call.seed);
    KEST_ASSIGN_OR_RETURN(auto outcome, ruleset::evaluate_action_in_place(state, check, call.actor, call.target, rng));
    return action_result_json(outcome, state);
  }));
}

PyObject* apply_triggered_mutations(PyObject* args, PyObject* kwargs) {
  RuleCall call{.rule_what = "mutations"};
  if (!bind_rule_call(call, args, kwargs, "apply_triggered_mutations", "mutations_json")) return nullptr;
  return text_or_value_error(without_interpreter_lock([&]() -> Result<std::string> {
    KEST_ASSIGN_OR_RETURN(auto documents, parse_documents(call));
    auto& [state, mutations] = documents;
    math::Pcg32 rng = math::Pcg32::seeded(call.seed);
    KEST_RETURN_IF_ERROR(ruleset::apply_triggered_mutations_in_place(state, mutations, call.actor, call.target, rng));
    return json::write(state);
  }));
}

const PyMethodDef kMethods[] = {
    method<evaluate_action>("evaluate_action",
                            "evaluate_action(state_json, check_json, actor, target=None, seed=0)\n--\n\nResolve a "
                            "check action (roll vs DC -> degree -> mutations). Returns\n{state, degree, roll, natural, "
                            "dc, delta} as a JSON string."),
    method<apply_triggered_mutations>("apply_triggered_mutations",
                                      "apply_triggered_mutations(state_json, mutations_json, actor, target=None, "
                                      "seed=0)\n--\n\nApply a flat mutation "
                                      "list (the trigger path). Returns the new state as a JSON string."),
};

}  // namespace

std::span<const PyMethodDef> rules_methods() { return kMethods; }

}  // namespace kest::boundary
