// Real-time frames: one server frame of player commands resolved at once, and client-side
// rollback reconciliation, which replays a window of frames from a corrected state with exactly
// the server's frame tick. The ruleset document, the step that runs one admitted action and the
// JSON form of applied mutations are shared with the epoch tick (kest/epoch.hpp).
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "kest/epoch.hpp"
#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/result.hpp"
#include "kest/ruleset.hpp"

namespace kest::frame {

// The most frames one reconciliation replays.
inline constexpr std::uint64_t kMaxReplayFrames = 4096;

// The frame's generator: SHA-256 of field("kest.frame/1"), field(world_id) and the frame number
// as 8 little-endian bytes, taken directly as state and (odd) increment. Fails when the world id
// is not in NFC.
Result<math::Pcg32> derive_frame_prng(std::string_view world_id, std::uint64_t frame_number);

// Succeeds unless `commands` is an array holding an element without a string "playerId" or a
// JS-safe integer "seq"; the first such element decides, its "playerId" before its "seq".
Result<void> validate_commands(const json::Value& commands);

// What every frame of a world is resolved under. The documents are borrowed and read only.
struct FrameRules {
  const json::Value& ruleset = json::null_value();
  const json::Value& player_entities = json::null_value();  // player id to entity id
  std::optional<std::uint64_t> max_commands_per_player = std::nullopt;
  std::optional<std::uint64_t> max_commands = std::nullopt;  // resolved commands per frame
};

// The caps "maxCommandsPerPlayer" then "maxCommands" of the input document, with its "ruleset"
// and "playerEntities".
Result<FrameRules> parse_frame_rules(const json::Value& input);

// ---- Frame tick ------------------------------------------------------------------------------

struct TickFrameInput {
  std::string_view world_id;
  std::uint64_t frame_number = 0;
  // The tick takes the state over and works on it in place: pass a copy to keep your own.
  json::Value state = {};
  // Borrowed and read only; anything but an array is no commands.
  const json::Value& commands = json::null_value();
  FrameRules rules = {};
  // The index of `state` that its previous ticks kept, so that a run of ticks scans the world
  // for a selection once; none: the tick starts its own.
  ruleset::SelectionIndex* selections = nullptr;
  // The actions of this same `rules.ruleset` that its previous ticks vetted, so that a run of
  // ticks vets each action once; none: the tick vets its own.
  epoch::VettedActions* actions = nullptr;
};

// The state holds "frame"; the event is the "FrameResolved" event.
using TickFrameResult = epoch::TickResult;

// Fails when the world id is not in NFC, or with `validate_commands`' message when the commands
// have not passed it.
Result<TickFrameResult> tick_frame(TickFrameInput input);

// Parses and checks the input document, resolves the frame and writes
// {"event", "rejected", "resolved", "state"} as compact JSON.
Result<std::string> tick_frame_from_json(std::string_view input_json);

// ---- Rollback reconciliation -----------------------------------------------------------------

// The number of frames after `base` up to `to_frame`; fails when `to_frame` is before `base` or
// more than kMaxReplayFrames after it.
Result<std::uint64_t> frames_to_replay(std::uint64_t base, std::uint64_t to_frame);

struct ReconcileInput {
  std::string_view world_id;
  // The server's state for the frame in its "frame" member (read as 0 when it is no valid frame
  // number). Taken over and moved from frame to frame without a copy; it comes back unchanged
  // when no frame is replayed.
  json::Value corrected_state = {};
  // Borrowed and read only: frame number in plain decimal to that frame's commands.
  const json::Value& commands_by_frame = json::null_value();
  std::uint64_t to_frame = 0;
  FrameRules rules = {};
};

struct ReconcileResult {
  json::Value state = {};
  json::Array events = {};  // one "FrameResolved" event per replayed frame, in frame order
  std::uint64_t frames_replayed = 0;
};

// Replays the frames after the corrected state's frame up to `to_frame`, each with `tick_frame`.
// Fails when the world id is not in NFC (even with nothing to replay), when `frames_to_replay`
// refuses the window, or with the first failing frame: all or nothing.
Result<ReconcileResult> reconcile_frames(ReconcileInput input);

// Parses and checks the input document (every command of the window before any replay),
// reconciles and writes {"events", "framesReplayed", "state"} as compact JSON.
Result<std::string> reconcile_frames_from_json(std::string_view input_json);

}  // namespace kest::frame
