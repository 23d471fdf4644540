// The epoch functions: one offline epoch, and catch-up over missed epochs. Each hands its
// input text to the epoch library unparsed and returns the library's output text.
#include "kest/epoch.hpp"
#include "methods.hpp"

namespace kest::boundary {
namespace {

PyObject* tick_epoch(PyObject* args, PyObject* kwargs) {
  return call_whole_input(args, kwargs, "tick_epoch", &epoch::tick_epoch_from_json);
}

PyObject* catch_up_epochs(PyObject* args, PyObject* kwargs) {
  return call_whole_input(args, kwargs, "catch_up_epochs", &epoch::catch_up_epochs_from_json);
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
