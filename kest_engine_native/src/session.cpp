// Session resume: a suspended world verified, replayed and caught up from its bundle. The input
// text goes to the session library unparsed.
#include "kest/session.hpp"
#include "methods.hpp"

namespace kest::boundary {
namespace {

constexpr Function<1> kResumeSession = declare(
    "resume_session", {kInputJson},
    "Reconstruct + verify + fast-forward a world from a bundle (Phase 4, "
    "fail-closed).\nInput JSON: {key, bundle, currentEpoch, maxCatchup, ruleset, proposalsByEpoch?,\nactorTags?, "
    "maxActions?}. Returns {worldId, state, newEvents, epochsResolved,\nepochsVoided}. Raises ValueError on a "
    "corrupted snapshot, tampered tail, or time-travel.");

PyObject* resume_session(PyObject* args, PyObject* kwargs) {
  return call_whole_input(args, kwargs, kResumeSession, &session::resume_from_json);
}

const PyMethodDef kMethods[] = {
    method<resume_session>(kResumeSession),
};

}  // namespace

std::span<const PyMethodDef> session_methods() { return kMethods; }

}  // namespace kest::boundary
