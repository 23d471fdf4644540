// The rules engine: checks graded into degrees, mutations, and their validation.
//
// Every entry point validates the whole rule before it draws a die. The `_in_place` forms edit
// the caller's working state directly and, when the rule fails part-way, undo every change they
// made, so a failed rule leaves no trace in the state (dice already drawn stay drawn). The other
// forms never change the state they are given and return a new one.
//
// The actor and target ids given to an `_in_place` form must not view keys of the state it edits:
// creating an entity moves the other keys in memory.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read; the state an
// `_in_place` form edits and the generator it advances belong to one thread at a time.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kest/ids.hpp"
#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/mutation_op.hpp"
#include "kest/result.hpp"

namespace kest::ruleset {

using kest::Result;

// The record of one applied leaf mutation, in execution order.
struct AppliedMutation {
  MutationOp op;
  std::string target;
  std::optional<std::string> property;
  std::optional<std::string> tag;
  std::optional<std::int64_t> previous;
  std::optional<std::int64_t> next;

  friend bool operator==(const AppliedMutation&, const AppliedMutation&) = default;
};

// The numbers and degree of an evaluated check, without the state.
struct CheckOutcome {
  std::string degree;  // "critical_success", "success", "failure", "critical_failure" or "none"
  std::optional<std::int64_t> natural;
  std::int64_t roll = 0;
  std::int64_t dc = 0;
  std::int64_t delta = 0;
  std::vector<AppliedMutation> applied;
};

// What a rule run on a copy of the state gives: the new state and the rule's outcome.
template <typename Outcome>
struct WithState {
  json::Value state;
  Outcome outcome;
};

using ActionResult = WithState<CheckOutcome>;
using MutationsResolution = WithState<std::vector<AppliedMutation>>;

// Which entities of one world state carry each tag: what a `foreach_target` selection reads
// instead of scanning the world, so that a selection costs a lookup plus the entities it keeps.
// It is built by the first selection and then kept exact by every rule run with it, the undo of a
// failed rule included. A caller that runs many rules on one state (the actions of an epoch or a
// frame, the epochs of a catch-up) keeps one index for all of them, so the world is scanned once.
// Give an index only the state it was first used with, and change that state's entities only
// through rules run with the index: it cannot see other edits.
class SelectionIndex {
 public:
  SelectionIndex();
  SelectionIndex(SelectionIndex&&) noexcept;
  SelectionIndex& operator=(SelectionIndex&&) noexcept;
  ~SelectionIndex();

  // Rules run with an index hold the entities they create aside, so that creating one does not
  // move the rest of the world; this puts them into `state`, the state the index was used with,
  // in one pass. Call it before `state` is read other than by rules run with the index.
  void hand_back(json::Value& state);

  // The engine's own view of the index.
  struct Tables;
  [[nodiscard]] Tables& tables() noexcept { return *tables_; }

 private:
  std::unique_ptr<Tables> tables_;
};

// ---- Validation alone -------------------------------------------------------------------------

// Whether a rule would be accepted, with the message of the first fault found. Nothing runs.
Result<void> validate_check(const json::Value& check);
Result<void> validate_triggered_mutations(const json::Value& mutations);

// ---- Many rules on one state: the actions of an epoch or a frame -----------------------------

// The trees a rule is compiled into, which only the engine reads.
struct CompiledCheck;
struct CompiledTrigger;

// A rule that passed validation, compiled into the tree the engine runs, so that it runs without
// being read or validated again. Only `vet_check` and `vet_triggered_mutations` make one. It
// holds no reference to the rule it was compiled from, and, as the tree never changes, its copies
// share it, also across threads.
template <typename Tree>
class Vetted {
 public:
  [[nodiscard]] const Tree& tree() const noexcept { return *tree_; }

 private:
  explicit Vetted(std::shared_ptr<const Tree> tree) noexcept : tree_(std::move(tree)) {}
  friend Result<Vetted<CompiledCheck>> vet_check(const json::Value& check);
  friend Result<Vetted<CompiledTrigger>> vet_triggered_mutations(const json::Value& mutations);

  std::shared_ptr<const Tree> tree_;
};

using ValidatedCheck = Vetted<CompiledCheck>;
using ValidatedTrigger = Vetted<CompiledTrigger>;

Result<ValidatedCheck> vet_check(const json::Value& check);
Result<ValidatedTrigger> vet_triggered_mutations(const json::Value& mutations);

// Run rules already vetted, which callers that vet a rule before deciding to run it use so that
// no rule is validated twice, with the caller's index of `state`, which they keep exact. On
// failure `state` is as it was before.
Result<CheckOutcome> evaluate_action_in_place(json::Value& state, SelectionIndex& selections,
                                              const ValidatedCheck& check, std::string_view actor,
                                              std::optional<std::string_view> target, math::DieRoller& dice);
Result<std::vector<AppliedMutation>> apply_triggered_mutations_in_place(json::Value& state, SelectionIndex& selections,
                                                                        const ValidatedTrigger& mutations,
                                                                        std::string_view actor,
                                                                        std::optional<std::string_view> target,
                                                                        math::DieRoller& dice);

// ---- One rule on a state the caller owns: the module's rules functions -----------------------

// Validates and runs a check on `state` in place; on failure `state` is as it was before.
Result<CheckOutcome> evaluate_action_in_place(json::Value& state, const json::Value& check, std::string_view actor,
                                              std::optional<std::string_view> target, math::DieRoller& dice);
// Validates and applies a triggered mutation list on `state` in place; on failure `state` is as
// it was before.
Result<std::vector<AppliedMutation>> apply_triggered_mutations_in_place(json::Value& state,
                                                                        const json::Value& mutations,
                                                                        std::string_view actor,
                                                                        std::optional<std::string_view> target,
                                                                        math::DieRoller& dice);

// ---- One rule on a copy, dice seeded: tests and fuzzers --------------------------------------

Result<ActionResult> evaluate_action(const json::Value& state, const json::Value& check, std::string_view actor,
                                     std::optional<std::string_view> target, std::uint64_t seed);
Result<MutationsResolution> apply_triggered_mutations(const json::Value& state, const json::Value& mutations,
                                                      std::string_view actor, std::optional<std::string_view> target,
                                                      std::uint64_t seed);

}  // namespace kest::ruleset
