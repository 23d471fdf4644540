// The real-time frame functions: one server frame, and client-side rollback reconciliation. Each
// hands its input text to the frame library unparsed and returns the library's output text.
#include "kest/frame.hpp"
#include "methods.hpp"

namespace kest::boundary {
namespace {

PyObject* tick_frame(PyObject* args, PyObject* kwargs) {
  return call_whole_input(args, kwargs, "tick_frame", &frame::tick_frame_from_json);
}

PyObject* reconcile_frames(PyObject* args, PyObject* kwargs) {
  return call_whole_input(args, kwargs, "reconcile_frames", &frame::reconcile_frames_from_json);
}

const PyMethodDef kMethods[] = {
    method<tick_frame>("tick_frame",
                       "tick_frame(input_json)\n--\n\nResolve one server frame (real-time multiplayer). Input JSON: "
                       "{worldId, state,\nframeNumber, commands, ruleset, playerEntities, maxCommandsPerPlayer?,\n"
                       "maxCommands?}. Returns {state, event, resolved, rejected}."),
    method<reconcile_frames>(
        "reconcile_frames",
        "reconcile_frames(input_json)\n--\n\nClient-side rollback reconciliation. Input JSON: {worldId, "
        "correctedState,\ncommandsByFrame, toFrame, ruleset, playerEntities, maxCommandsPerPlayer?,\nmaxCommands?}. "
        "Returns {state, events, framesReplayed}."),
};

}  // namespace

std::span<const PyMethodDef> frame_methods() { return kMethods; }

}  // namespace kest::boundary
