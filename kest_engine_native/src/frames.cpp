// The real-time frame functions: one server frame, and client-side rollback reconciliation. Each
// hands its input text to the frame library unparsed and returns the library's output text.
#include "kest/frame.hpp"
#include "methods.hpp"

namespace kest::boundary {
namespace {

constexpr Function<1> kTickFrame =
    declare("tick_frame", {kInputJson},
            "Resolve one server frame (real-time multiplayer). Input JSON: "
            "{worldId, state,\nframeNumber, commands, ruleset, playerEntities, maxCommandsPerPlayer?,\n"
            "maxCommands?}. Returns {state, event, resolved, rejected}.");

PyObject* tick_frame(PyObject* args, PyObject* kwargs) {
  return call_whole_input(args, kwargs, kTickFrame, &frame::tick_frame_from_json);
}

constexpr Function<1> kReconcileFrames = declare(
    "reconcile_frames", {kInputJson},
    "Client-side rollback reconciliation. Input JSON: {worldId, "
    "correctedState,\ncommandsByFrame, toFrame, ruleset, playerEntities, maxCommandsPerPlayer?,\nmaxCommands?}. "
    "Returns {state, events, framesReplayed}.");

PyObject* reconcile_frames(PyObject* args, PyObject* kwargs) {
  return call_whole_input(args, kwargs, kReconcileFrames, &frame::reconcile_frames_from_json);
}

const PyMethodDef kMethods[] = {
    method<tick_frame>(kTickFrame),
    method<reconcile_frames>(kReconcileFrames),
};

}  // namespace

std::span<const PyMethodDef> frame_methods() { return kMethods; }

}  // namespace kest::boundary
