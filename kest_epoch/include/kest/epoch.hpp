// Offline epochs: one epoch of actor proposals resolved at once, and bounded catch-up over the
// epochs a world missed. Also the pieces the frame tick shares: the ruleset document, the step
// that runs one admitted action and the JSON form of an applied mutation.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read; the state, the
// generator and the `VettedActions` that `resolve_action` works on belong to one thread at a time.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/result.hpp"
#include "kest/ruleset.hpp"

namespace kest::epoch {

// ---- The ruleset document and one admitted action --------------------------------------------

// The parsed form of an action definition: a check, or a flat mutation list applied in trigger
// context. `rule` is the definition's "check" or "mutations" member, inside the ruleset document.
struct ActionKind {
  enum class Type : std::uint8_t { kCheck, kMutations };
  Type type;
  const json::Value* rule;  // never null
};

// Reads "kind" and the member it names; a definition that is not an object has no "kind".
Result<ActionKind> parse_action_kind(const json::Value& definition);

// Why an admitted action did not run; the reason strings of event records.
enum class ActionRejection : std::uint8_t { kUnknownAction, kInvalidAction, kEvalError };

// "unknown_action", "invalid_action" or "eval_error".
std::string_view rejection_reason(ActionRejection rejection) noexcept;

struct ResolvedAction {
  std::string degree = {};  // the check's degree, or "none" for a mutation list
  std::vector<ruleset::AppliedMutation> applied = {};
};

// A rule vetted and ready to run: a check, or a mutation list applied in trigger context.
using VettedRule = std::variant<ruleset::ValidatedCheck, ruleset::ValidatedTrigger>;

// The actions of one ruleset document, each looked up, parsed and vetted the first time an action
// names it and kept from then on (the fault included), so that a tick in which a thousand actors
// use one action vets its rule once, and a catch-up or a reconciliation once for all its ticks.
// It refers to the ruleset document, which must outlive it; a document that is not an object has
// no actions.
class VettedActions {
 public:
  explicit VettedActions(const json::Value& ruleset) noexcept : ruleset_(&ruleset) {}

  // The action `action_id` ready to run, or why it cannot run.
  std::expected<const VettedRule*, ActionRejection> find(std::string_view action_id);

 private:
  const json::Value* ruleset_;
  std::map<std::string, std::expected<VettedRule, ActionRejection>, std::less<>> vetted_;
};

// Runs the action `action_id` of `actions` on `state` in place, drawing from `rng`, with
// `selections` the index of `state` the tick keeps. On a rejection `state` is as it was and `rng`
// is back where it was, so a failed action consumes no draws. The entities the action creates
// stay with `selections` until the tick hands them back to `state`.
std::expected<ResolvedAction, ActionRejection> resolve_action(json::Value& state, ruleset::SelectionIndex& selections,
                                                              VettedActions& actions, std::string_view action_id,
                                                              std::string_view actor,
                                                              std::optional<std::string_view> target, math::Pcg32& rng);

// {"op", "target"} plus "property", "tag", "previous" and "next" where the mutation has them.
json::Value serialize_mutation(const ruleset::AppliedMutation& mutation);
json::Value serialize_mutations(std::span<const ruleset::AppliedMutation> mutations);

// ---- Generators ------------------------------------------------------------------------------

// The epoch's generator, from SHA-256 of the UTF-8 world id followed by the epoch as 8 bytes of
// little-endian two's complement. Fails when the world id is not in NFC.
Result<math::Pcg32> derive_epoch_prng(std::string_view world_id, std::int64_t epoch);

// ---- Epoch tick ------------------------------------------------------------------------------

// The string elements of "actorTags" when it is an array, in order, duplicates kept.
std::vector<std::string> parse_actor_tags(const json::Value& input);

struct TickEpochInput {
  std::string_view world_id;
  std::int64_t epoch_number = 0;
  // The tick takes the state over and works on it in place: pass a copy to keep your own.
  json::Value state = {};
  // Borrowed and read only.
  const json::Value& proposals = json::null_value();
  const json::Value& ruleset = json::null_value();
  // Empty means the one tag "acts_offline".
  std::span<const std::string> actor_tags = {};
  // The most proposals that may resolve; none means no cap.
  std::optional<std::uint64_t> max_actions = std::nullopt;
  // The index of `state` that its previous ticks kept, so that a run of ticks scans the world
  // for a selection once; none: the tick starts its own.
  ruleset::SelectionIndex* selections = nullptr;
  // The actions of this same `ruleset` that its previous ticks vetted, so that a run of ticks
  // vets each action once; none: the tick vets its own.
  VettedActions* actions = nullptr;
};

// What one tick returns, an epoch's here and a frame's alike: the new state (always an object
// holding the tick's number), the tick's event, and how many items resolved and were rejected.
struct TickResult {
  json::Value state = {};
  json::Value event = {};
  std::uint64_t resolved = 0;
  std::uint64_t rejected = 0;
};

// The output document of a tick: {"event", "rejected", "resolved", "state"} as compact JSON.
std::string write_tick_output(TickResult result);

// The state holds "epoch"; the event is the "EpochResolved" event.
using TickEpochResult = TickResult;

// Fails only when the world id is not in NFC.
Result<TickEpochResult> tick_epoch(TickEpochInput input);

// Parses and checks the input document, resolves the epoch and writes
// {"event", "rejected", "resolved", "state"} as compact JSON.
Result<std::string> tick_epoch_from_json(std::string_view input_json);

// ---- Catch-up --------------------------------------------------------------------------------

struct CatchUpInput {
  std::string_view world_id;
  // Taken over and carried from epoch to epoch without a copy; comes back unchanged in the
  // result when no epoch runs.
  json::Value state = {};
  // Borrowed and read only.
  const json::Value& ruleset = json::null_value();
  const json::Value& proposals_by_epoch = json::null_value();
  std::span<const std::string> actor_tags = {};
  std::optional<std::uint64_t> max_actions = std::nullopt;  // per epoch
  std::int64_t current_epoch = 0;
  std::int64_t max_catchup = 0;  // a negative bound counts as 0
};

struct CatchUpResult {
  json::Value state = {};
  json::Array events = {};  // one "EpochResolved" event per resolved epoch, in epoch order
  std::int64_t epochs_resolved = 0;
  std::int64_t epochs_voided = 0;
};

// Resolves the earliest missed epochs after the state's "epoch", at most `max_catchup` of them,
// and counts the rest of the gap as voided.
Result<CatchUpResult> catch_up_epochs(CatchUpInput input);

// Parses and checks the input document, catches up and writes
// {"epochsResolved", "epochsVoided", "events", "state"} as compact JSON.
Result<std::string> catch_up_epochs_from_json(std::string_view input_json);

}  // namespace kest::epoch
