// The rules functions: resolve a check action, or apply a triggered mutation list.
#include <charconv>

#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/ruleset.hpp"
#include "methods.hpp"
#include "without_lock.hpp"

namespace kest::boundary {
namespace {

// The parameters both functions take, around the rule's own: (state_json, <rule>_json, actor,
// target=None, seed=0).
constexpr Function<5> rule_function(const char* name, const char* rule_parameter, const char* description) {
  return declare(name, {{"state_json"}, {rule_parameter}, {"actor"}, {"target", "None"}, {"seed", "0"}}, description);
}

constexpr Function<5> kEvaluateAction =
    rule_function("evaluate_action", "check_json",
                  "Resolve a check action (roll vs DC -> degree -> mutations). Returns\n{state, degree, roll, "
                  "natural, dc, delta} as a JSON string.");
constexpr Function<5> kApplyTriggeredMutations =
    rule_function("apply_triggered_mutations", "mutations_json",
                  "Apply a flat mutation list (the trigger path). Returns the new state as a JSON string.");

// One call of either function. The texts are views into the argument objects, which `arguments`
// keeps alive; `rule_what` names the rule document in parse errors.
struct RuleCall {
  RuleCall(const Function<5>& function, std::string_view rule_document)
      : arguments(function), rule_what(rule_document) {}

  Arguments<5> arguments;
  std::string_view rule_what;
  std::string_view state_json{};
  std::string_view rule_json{};
  std::string_view actor{};
  std::optional<std::string_view> target{};
  std::uint64_t seed = 0;
};

// Converts every argument before anything is parsed.
bool bind_rule_call(RuleCall& call, PyObject* args, PyObject* kwargs) {
  if (!call.arguments.bind(args, kwargs)) return false;
  auto state_json = call.arguments.text(0);
  if (!state_json) return false;
  auto rule_json = call.arguments.text(1);
  if (!rule_json) return false;
  auto actor = call.arguments.text(2);
  if (!actor) return false;
  auto target = call.arguments.optional_text(3);
  if (!target) return false;
  std::optional<std::uint64_t> seed = call.arguments[4] != nullptr ? call.arguments.u64(4) : std::uint64_t{0};
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
  RuleCall call(kEvaluateAction, "check");
  if (!bind_rule_call(call, args, kwargs)) return nullptr;
  return text_or_value_error(without_interpreter_lock([&]() -> Result<std::string> {
    KEST_ASSIGN_OR_RETURN(auto documents, parse_documents(call));
    auto& [state, check] = documents;
    math::Pcg32 rng = math::Pcg32::seeded(call.seed);
    KEST_ASSIGN_OR_RETURN(auto outcome, ruleset::evaluate_action_in_place(state, check, call.actor, call.target, rng));
    return action_result_json(outcome, state);
  }));
}

PyObject* apply_triggered_mutations(PyObject* args, PyObject* kwargs) {
  RuleCall call(kApplyTriggeredMutations, "mutations");
  if (!bind_rule_call(call, args, kwargs)) return nullptr;
  return text_or_value_error(without_interpreter_lock([&]() -> Result<std::string> {
    KEST_ASSIGN_OR_RETURN(auto documents, parse_documents(call));
    auto& [state, mutations] = documents;
    math::Pcg32 rng = math::Pcg32::seeded(call.seed);
    KEST_RETURN_IF_ERROR(ruleset::apply_triggered_mutations_in_place(state, mutations, call.actor, call.target, rng));
    return json::write(state);
  }));
}

const PyMethodDef kMethods[] = {
    method<evaluate_action>(kEvaluateAction),
    method<apply_triggered_mutations>(kApplyTriggeredMutations),
};

}  // namespace

std::span<const PyMethodDef> rules_methods() { return kMethods; }

bool add_mutation_op_names(PyObject* module) {
  PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(ruleset::kMutationOps.size()));
  if (names == nullptr) return false;
  for (std::size_t i = 0; i < ruleset::kMutationOps.size(); ++i) {
    const std::string_view name = ruleset::mutation_op_name(ruleset::kMutationOps[i]);
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr) {
      Py_DECREF(names);
      return false;
    }
    PyTuple_SetItem(names, static_cast<Py_ssize_t>(i), text);  // steals `text`
  }
  const bool added = PyModule_AddObjectRef(module, "MUTATION_OPS", names) == 0;
  Py_DECREF(names);
  return added;
}

}  // namespace kest::boundary
