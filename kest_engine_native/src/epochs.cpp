// The epoch functions: one offline epoch, and catch-up over missed epochs. Each hands its
// input text to the epoch library unparsed and returns the library's output text.
#include "kest/epoch.hpp"
#include "methods.hpp"

namespace kest::boundary {
namespace {

constexpr Function<1> kTickEpoch =
    declare("tick_epoch", {kInputJson},
            "Resolve one offline epoch. Input JSON: {worldId, state, "
            "epochNumber, proposals,\nruleset, actorTags?, maxActions?}. Returns {state, event, resolved, "
            "rejected}.");

PyObject* tick_epoch(PyObject* args, PyObject* kwargs) {
  return call_whole_input(args, kwargs, kTickEpoch, &epoch::tick_epoch_from_json);
}

constexpr Function<1> kCatchUpEpochs =
    declare("catch_up_epochs", {kInputJson},
            "Replay offline epochs up to currentEpoch, bounded by maxCatchup (excess "
            "voided).\nInput JSON: {worldId, state, currentEpoch, maxCatchup, ruleset, proposalsByEpoch?,\nactorTags?, "
            "maxActions?}. Returns {state, events, epochsResolved, epochsVoided}.");

PyObject* catch_up_epochs(PyObject* args, PyObject* kwargs) {
  return call_whole_input(args, kwargs, kCatchUpEpochs, &epoch::catch_up_epochs_from_json);
}

const PyMethodDef kMethods[] = {
    method<tick_epoch>(kTickEpoch),
    method<catch_up_epochs>(kCatchUpEpochs),
};

}  // namespace

std::span<const PyMethodDef> epoch_methods() { return kMethods; }

}  // namespace kest::boundary
