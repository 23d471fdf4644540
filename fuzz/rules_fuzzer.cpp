// Rules: a check or a triggered mutation list, validated and then run on a world state. The input
// is one document {"state", "check" or "mutations", "actor", "target", "seed", "grow"}, "grow"
// adding up to 4096 entities to the state.
//
// Validation decides alone whether a rule may run: a refused rule fails to run with the same
// message. Running is deterministic, and the in-place form ends with exactly the state the copying
// form returns, or, when the rule fails part-way, with the state it started from.
#include <optional>
#include <string>

#include "grown_world.hpp"
#include "harness.hpp"
#include "kest/canonical.hpp"
#include "kest/ruleset.hpp"

namespace {

using namespace kest;

struct Call {
  json::Value state;
  std::string actor;
  std::optional<std::string> target;
  std::uint64_t seed = 0;
};

Call call_from(const json::Value& document) {
  Call call{.state = document["state"], .actor = "hero", .target = {}, .seed = 0};
  fuzz::grow_world(call.state, document["grow"]);
  if (const std::string* actor = document["actor"].if_string()) call.actor = *actor;
  if (const std::string* target = document["target"].if_string()) call.target = *target;
  if (const json::Value& seed = document["seed"]; seed.is_uint()) call.seed = seed.as_uint();
  return call;
}

std::optional<std::string_view> target_of(const Call& call) {
  if (call.target) return std::string_view(*call.target);
  return std::nullopt;
}

void require_sound_records(const std::vector<ruleset::AppliedMutation>& applied) {
  for (const ruleset::AppliedMutation& record : applied) {
    fuzz::require(!record.next || events::is_js_safe(*record.next), "every written value is JS-safe");
    fuzz::require(record.property.has_value() == record.next.has_value(), "property records carry their values");
  }
}

bool same_outcome(const ruleset::Result<ruleset::ActionResult>& a, const ruleset::Result<ruleset::ActionResult>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return a.error() == b.error();
  const ruleset::CheckOutcome& x = a->outcome;
  const ruleset::CheckOutcome& y = b->outcome;
  return x.degree == y.degree && x.natural == y.natural && x.roll == y.roll && x.dc == y.dc && x.delta == y.delta &&
         a->state == b->state && x.applied == y.applied;
}

bool same_outcome(const ruleset::Result<ruleset::MutationsResolution>& a,
                  const ruleset::Result<ruleset::MutationsResolution>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return a.error() == b.error();
  return a->state == b->state && a->outcome == b->outcome;
}

void check_action(const Call& call, const json::Value& check) {
  auto valid = ruleset::validate_check(check);
  auto result = ruleset::evaluate_action(call.state, check, call.actor, target_of(call), call.seed);
  fuzz::require(
      same_outcome(result, ruleset::evaluate_action(call.state, check, call.actor, target_of(call), call.seed)),
      "the same check runs the same way twice");
  if (!valid) {
    fuzz::require(!result && result.error() == valid.error(), "a refused check fails with its validation message");
    return;
  }
  json::Value in_place = call.state;
  math::Pcg32 dice = math::Pcg32::seeded(call.seed);
  auto outcome = ruleset::evaluate_action_in_place(in_place, check, call.actor, target_of(call), dice);
  if (!result) {
    fuzz::require(result.error().starts_with("AST: "), "a rules message starts with AST");
    fuzz::require(!outcome && outcome.error() == result.error(), "both forms fail alike");
    fuzz::require(in_place == call.state, "a failed check leaves the state as it was");
    return;
  }
  fuzz::require(outcome.has_value(), "both forms succeed alike");
  fuzz::require(in_place == result->state, "both forms reach the same state");
  const ruleset::CheckOutcome& graded = result->outcome;
  fuzz::require(outcome->degree == graded.degree && outcome->applied == graded.applied &&
                    outcome->roll == graded.roll && outcome->dc == graded.dc && outcome->natural == graded.natural,
                "both forms grade alike");
  fuzz::require(events::is_js_safe(graded.delta) && graded.delta == graded.roll - graded.dc,
                "delta is the JS-safe difference of roll and dc");
  require_sound_records(graded.applied);
}

void check_trigger(const Call& call, const json::Value& mutations) {
  auto valid = ruleset::validate_triggered_mutations(mutations);
  auto result = ruleset::apply_triggered_mutations(call.state, mutations, call.actor, target_of(call), call.seed);
  fuzz::require(same_outcome(result, ruleset::apply_triggered_mutations(call.state, mutations, call.actor,
                                                                        target_of(call), call.seed)),
                "the same trigger runs the same way twice");
  if (!valid) {
    fuzz::require(!result && result.error() == valid.error(), "a refused trigger fails with its validation message");
    return;
  }
  json::Value in_place = call.state;
  math::Pcg32 dice = math::Pcg32::seeded(call.seed);
  auto applied = ruleset::apply_triggered_mutations_in_place(in_place, mutations, call.actor, target_of(call), dice);
  if (!result) {
    fuzz::require(result.error().starts_with("AST: "), "a rules message starts with AST");
    fuzz::require(!applied && applied.error() == result.error(), "both forms fail alike");
    fuzz::require(in_place == call.state, "a failed trigger leaves the state as it was");
    return;
  }
  fuzz::require(applied.has_value() && *applied == result->outcome, "both forms apply the same mutations");
  fuzz::require(in_place == result->state, "both forms reach the same state");
  require_sound_records(result->outcome);
}

// Rules run one after another on one state keep one selection index; each run must give what a
// run with an index built afresh gives, failures and their undo included, and the entities they
// created, handed back at the end, must be those the fresh runs inserted one by one.
void check_kept_index(const Call& call, const json::Value& mutations) {
  auto vetted = ruleset::vet_triggered_mutations(mutations);
  if (!vetted) return;
  json::Value kept_state = call.state;
  json::Value fresh_state = call.state;
  ruleset::SelectionIndex selections;
  for (std::uint64_t run = 0; run < 2; ++run) {
    math::Pcg32 kept_dice = math::Pcg32::seeded(call.seed + run);
    math::Pcg32 fresh_dice = kept_dice;
    auto kept = ruleset::apply_triggered_mutations_in_place(kept_state, selections, *vetted, call.actor,
                                                            target_of(call), kept_dice);
    auto fresh =
        ruleset::apply_triggered_mutations_in_place(fresh_state, mutations, call.actor, target_of(call), fresh_dice);
    fuzz::require(kept == fresh, "a kept index selects what a fresh one selects");
  }
  // The entities the kept runs created are held aside until handed back together.
  selections.hand_back(kept_state);
  fuzz::require(kept_state == fresh_state, "a kept index leads to the same state");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto document = json::parse(fuzz::text_of(data, size));
  if (!document) return fuzz::kRejectInput;
  Call call = call_from(*document);
  if (const json::Value* check = document->find("check")) check_action(call, *check);
  if (const json::Value* mutations = document->find("mutations")) {
    check_trigger(call, *mutations);
    check_kept_index(call, *mutations);
  }
  return 0;
}
