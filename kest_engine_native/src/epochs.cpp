// The epoch functions: one offline epoch, and catch-up over missed epochs. Each hands its
// input text to the epoch library unparsed and returns the library's output text.
#include "kest/epoch.hpp"
#include "methods.hpp"

namespace kest::boundary {
namespace {

using WholeInputOperation = std::expected<std::string, std::string> (*)(std::string_view);

PyObject* call_with_input_json(PyObject* args, PyObject* kwargs, const char* function, WholeInputOperation operation) {
  static constexpr const char* names[] = {"input_json"};
  PyObject* slots[1];
  if (!bind_arguments(args, kwargs, function, names, 1, slots)) return nullptr;
  auto input_json = to_text(slots[0], "input_json");
  if (!input_json) return nullptr;
  return text_or_value_error(operation(*input_json));
}

PyObject* tick_epoch(PyObject* args, PyObject* kwargs) {
  return call_with_input_json(args, kwargs, "tick_epoch", &epoch::tick_epoch_from_json);
}

PyObject* catch_up_epochs(PyObject* args, PyObject* kwargs) {
  return call_with_input_json(args, kwargs, "catch_up_epochs", &epoch::catch_up_epochs_from_json);
}

const PyMethodDef kMethods[] = {
    method<tick_epoch>("tick_epoch",
                       "tick_epoch(input_json)\n--\n\nResolve one offline epoch. Input JSON: {worldId, state, "
                       "epochNumber, proposals,\nruleset, actorTags?, maxActions?}. Returns {state, event, resolved, "
                       "rejected}."),
    method<catch_up_epochs>(
        "catch_up_epochs",
        "catch_up_epochs(input_json)\n--\n\nReplay offline epochs up to currentEpoch, bounded by maxCatchup (excess "
        "voided).\nInput JSON: {worldId, state, currentEpoch, maxCatchup, ruleset, proposalsByEpoch?,\nactorTags?, "
        "maxActions?}. Returns {state, events, epochsResolved, epochsVoided}."),
};

}  // namespace

std::span<const PyMethodDef> epoch_methods() { return kMethods; }

}  // namespace kest::boundary
