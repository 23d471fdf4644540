// The rules functions: resolve a check action, or apply a triggered mutation list. The boundary
// owns the states it parses, so the engine edits them in place instead of copying them.
#include <charconv>

#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/ruleset.hpp"
#include "methods.hpp"

namespace kest::boundary {
namespace {

// The arguments both functions take: (state_json, <rule>_json, actor, target=None, seed=0).
struct RuleCall {
  json::Value state;
  json::Value rule;
  std::string_view actor;
  std::optional<std::string_view> target;
  std::uint64_t seed = 0;
};

std::optional<json::Value> parse_document(std::string_view text, std::string_view what) {
  auto value = json::parse(text);
  if (!value) {
    raise_value_error("bad " + std::string(what) + " json: " + value.error());
    return std::nullopt;
  }
  return std::move(*value);
}

// Converts every argument before parsing anything; the documents are parsed in argument order.
std::optional<RuleCall> bind_rule_call(PyObject* args, PyObject* kwargs, const char* function, const char* rule_name,
                                       std::string_view rule_what) {
  const char* names[] = {"state_json", rule_name, "actor", "target", "seed"};
  PyObject* slots[5];
  if (!bind_arguments(args, kwargs, function, names, 3, slots)) return std::nullopt;
  auto state_json = to_text(slots[0], "state_json");
  if (!state_json) return std::nullopt;
  auto rule_json = to_text(slots[1], rule_name);
  if (!rule_json) return std::nullopt;
  auto actor = to_text(slots[2], "actor");
  if (!actor) return std::nullopt;
  auto target = to_optional_text(slots[3], "target");
  if (!target) return std::nullopt;
  std::optional<std::uint64_t> seed = slots[4] != nullptr ? to_u64(slots[4], "seed") : std::uint64_t{0};
  if (!seed) return std::nullopt;
  auto state = parse_document(*state_json, "state");
  if (!state) return std::nullopt;
  auto rule = parse_document(*rule_json, rule_what);
  if (!rule) return std::nullopt;
  return RuleCall{std::move(*state), std::move(*rule), *actor, *target, *seed};
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

PyObject* evaluate_action(PyObject* args, PyObject* kwargs) {
  auto call = bind_rule_call(args, kwargs, "evaluate_action", "check_json", "check");
  if (!call) return nullptr;
  math::Pcg32 rng = math::Pcg32::seeded(call->seed);
  auto outcome = ruleset::evaluate_action_in_place(call->state, call->rule, call->actor, call->target, rng);
  if (!outcome) return raise_value_error(outcome.error());
  return to_py_text(action_result_json(*outcome, call->state));
}

PyObject* apply_triggered_mutations(PyObject* args, PyObject* kwargs) {
  auto call = bind_rule_call(args, kwargs, "apply_triggered_mutations", "mutations_json", "mutations");
  if (!call) return nullptr;
  math::Pcg32 rng = math::Pcg32::seeded(call->seed);
  auto applied = ruleset::apply_triggered_mutations_in_place(call->state, call->rule, call->actor, call->target, rng);
  if (!applied) return raise_value_error(applied.error());
  return to_py_text(json::write(call->state));
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
