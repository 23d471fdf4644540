// Replay of a chain tail, record after record, on one state.
#pragma once

#include <utility>

#include "kest/held_members.hpp"
#include "kest/json.hpp"

namespace kest::session {

// Takes the state over and re-applies one "EpochResolved" payload after another, as
// `replay_epoch_event` does for one. The entities the records create are held aside until
// `finish`, so that a long tail does not move the world's entities once a creation.
class TailReplay {
 public:
  explicit TailReplay(json::Value state) noexcept : state_(std::move(state)) {}

  void replay(const json::Value& payload);
  // The state with every created entity in place.
  json::Value finish() &&;

 private:
  void replay_mutation(const json::Value& mutation);

  json::Value state_;
  json::HeldMembers created_;
};

}  // namespace kest::session
