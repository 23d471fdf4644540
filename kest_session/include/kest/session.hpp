// Session resume: a suspended world read back from its bundle, trusting nothing in it. The
// snapshot is checked against its keyed hash, the seal and the binding against the server key,
// the chain tail against the seal and its own signatures and links; then the tail's recorded
// epoch events are replayed onto the snapshot and the world catches up on the epochs it missed.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kest/json.hpp"
#include "kest/result.hpp"
#include "kest/signing.hpp"

namespace kest::session {

// ---- Chain-tail replay -----------------------------------------------------------------------

// Re-applies the mutations an "EpochResolved" payload recorded, taking their outcomes as facts
// (no rule runs, no die is rolled), and stamps the state with the payload's "epoch_number".
// Whatever cannot be applied is skipped, so it never fails; a mutation whose "op" is neither tag
// operation writes its recorded "next", whatever that op is. The state is taken over and edited
// in place: move it in to avoid a copy.
json::Value replay_epoch_event(json::Value state, const json::Value& payload);

// ---- Bundles ---------------------------------------------------------------------------------

// Reads one chain-tail element into a record. The element is taken over so that its payload
// moves into the record. The messages carry no subsystem prefix ("record missing seq", ...).
Result<events::ChainedRecord> parse_record(json::Value element);

struct ResumeInput {
  std::string_view key;  // the HMAC key's bytes
  // Taken over: the snapshot state and the tail payloads move out of it, never copied.
  json::Value bundle = {};
  std::int64_t current_epoch = 0;
  std::int64_t max_catchup = 0;
  // Borrowed and read only; handed to catch-up unexamined.
  const json::Value& ruleset = json::null_value();
  const json::Value& proposals_by_epoch = json::null_value();
  std::span<const std::string> actor_tags = {};
  std::optional<std::uint64_t> max_actions = std::nullopt;
  std::optional<std::string_view> expected_world_id = std::nullopt;
};

struct ResumeOutput {
  std::string world_id;  // the bundle's "worldId", or empty when it is not a string
  json::Value state = {};
  json::Array new_events = {};  // one "EpochResolved" event per epoch caught up
  std::int64_t epochs_resolved = 0;
  std::int64_t epochs_voided = 0;
};

// Verifies the bundle fail-closed (the first failing check decides the message), replays its
// tail, refuses a bundle from the future and catches the world up to the current epoch.
Result<ResumeOutput> resume(ResumeInput input);

// Parses and checks the resume input document, resumes, and writes
// {"epochsResolved", "epochsVoided", "newEvents", "state", "worldId"} as compact JSON.
Result<std::string> resume_from_json(std::string_view input_json);

}  // namespace kest::session
