// Random rules, most of them valid and some broken in a few places, on random worlds: the rules
// engine must refuse, grade, draw, record and edit exactly as it did when these transcripts were
// recorded, so that a change to how rules are read or run cannot change what they do unnoticed.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "kest/json.hpp"
#include "kest/math.hpp"
#include "kest/ruleset.hpp"
#include "kest/signing.hpp"
#include "rules_test_support.hpp"

namespace kest::ruleset {
namespace {

// Builds random rules and worlds from a seeded generator, so that every run sees the same ones.
class RuleMaker {
 public:
  explicit RuleMaker(std::uint64_t seed) : random_(math::Pcg32::seeded(seed)) {}

  json::Value check() {
    faults_ = pick<std::uint32_t>({3, 10, 40, 200});
    json::Object degrees;
    for (const char* name : {"critical_success", "success", "failure", "critical_failure", "glancing"}) {
      if (chance(3)) degrees.insert_or_assign(name, degree());
    }
    json::Object check{{"type", "check"}, {"roll", expression(0)}, {"dc", expression(0)}, {"degrees", degrees}};
    if (chance(faults_)) check.insert_or_assign("type", "chek");
    if (chance(faults_)) check.insert_or_assign("degrees", json::Array{});
    return check;
  }

  json::Value mutations() {
    faults_ = pick<std::uint32_t>({3, 10, 40, 200});
    return chance(50) ? json::Value(json::Object{}) : mutation_list(0);
  }

  json::Value world() {
    json::Object entities;
    for (const char* id : kIds) {
      if (chance(5)) continue;
      entities.insert_or_assign(id, chance(30) ? json::Value(7) : entity());
    }
    if (chance(40)) return json::Object{{"entities", json::Array{}}};
    return json::Object{{"entities", entities}};
  }

  std::string actor() { return pick<std::string>({"a", "b", "c", "new"}); }

  std::optional<std::string> target() {
    if (chance(4)) return std::nullopt;
    return pick<std::string>({"a", "b", "d", "other"});
  }

 private:
  static constexpr std::initializer_list<const char*> kIds = {"a", "b", "c", "d", "e"};

  // True one time in `n`.
  bool chance(std::uint32_t n) { return random_.roll_die(n) == 1; }

  template <typename T>
  T pick(std::initializer_list<T> choices) {
    return choices.begin()[random_.roll_die(static_cast<std::uint32_t>(choices.size())) - 1];
  }

  // One of `usual`, or, as often as this rule has faults, one of `broken`.
  template <typename T>
  T pick(std::initializer_list<T> usual, std::initializer_list<T> broken) {
    return chance(faults_) ? pick(broken) : pick(usual);
  }

  json::Value integer() {
    return pick<json::Value>({0, 1, 2, 3, 5, 10, 20, -4, 9007199254740991, -9007199254740991, json::Value(7.0)},
                             {9007199254740992, json::Value(1.5), "3", nullptr});
  }

  json::Value name(const char* usual) { return pick<json::Value>({usual, usual, "x"}, {"", "__proto__", 4}); }

  json::Value target_ref() { return pick<json::Value>({"actor", "self", "target", "each"}, {"nobody", 1}); }

  json::Value expression(int depth) {
    if (depth > 17) return json::Object{{"type", "literal"}, {"value", 1}};
    switch (random_.roll_die(depth > 4 ? 4 : 6)) {
      case 1: return json::Object{{"type", "literal"}, {"value", integer()}};
      case 2:
        return json::Object{
            {"type", "dice"},
            {"equation", pick<json::Value>({"1d20", "2d6+3", "0d6", "1d0+10", "3d4-2", "1d6+9007199254740990"},
                                           {"101d6", "1d20.5", "d6", "100d100000", 5})}};
      case 3: return json::Object{{"type", "prop_ref"}, {"target", target_ref()}, {"property", name("hp")}};
      case 4:
        if (chance(faults_)) return json::Object{{"type", pick<json::Value>({"power", 3})}};
        return json::Value(json::Object{{"type", "literal"}, {"value", integer()}});
      default:
        return json::Object{{"type", "math"},
                            {"op", pick<json::Value>({"add", "sub", "mul", "floor_div"}, {"pow", nullptr})},
                            {"left", expression(depth + 1)},
                            {"right", expression(depth + 1)}};
    }
  }

  json::Value operand() {
    json::Value source = pick<json::Value>({"dc", "roll", "delta", "natural", "literal", "prop", "prop"}, {"dice", 1});
    return json::Object{{"source", source}, {"value", integer()}, {"target", target_ref()}, {"property", name("hp")}};
  }

  json::Value condition(int depth) {
    if (depth > 17) return json::Object{{"type", "delta_gte"}, {"value", 0}};
    switch (random_.roll_die(depth > 3 ? 5 : 7)) {
      case 1:
        return json::Object{
            {"type", pick<json::Value>({"delta_gte", "delta_lte", "nat_roll_eq", "nat_roll_gte", "nat_roll_lte"},
                                       {"nat_roll_ne"})},
            {"value", integer()}};
      case 2: return json::Object{{"type", "has_tag"}, {"target", target_ref()}, {"tag", name("x")}};
      case 3:
      case 4:
        return json::Object{{"type", "compare"},
                            {"op", pick<json::Value>({"gt", "gte", "lt", "lte", "eq", "ne"}, {"ge", 2})},
                            {"left", operand()},
                            {"right", operand()}};
      case 5:
        if (chance(faults_)) return json::Object{{"type", pick<json::Value>({"always", 1})}};
        return json::Object{{"type", "has_tag"}, {"target", target_ref()}, {"tag", name("y")}};
      default: {
        json::Array elements;
        for (std::uint32_t i = random_.roll_die(4) - 1; i > 0; --i) elements.push_back(condition(depth + 1));
        json::Object junction{{"type", pick<json::Value>({"and", "or"})}, {"conditions", elements}};
        if (chance(faults_)) junction.erase("conditions");
        return junction;
      }
    }
  }

  json::Value degree() {
    json::Object degree{{"condition", condition(0)}, {"mutations", mutation_list(0)}};
    if (chance(faults_)) degree.insert_or_assign("mutations", json::Object{});
    return degree;
  }

  json::Value mutation_list(int depth) {
    json::Array list;
    for (std::uint32_t i = random_.roll_die(depth > 2 ? 2 : 4) - 1; i > 0; --i) list.push_back(mutation(depth));
    if (depth < 18 && chance(60)) list.push_back(mutation(depth));
    return list;
  }

  json::Value mutation(int depth) {
    switch (random_.roll_die(depth > 3 ? 6 : 9)) {
      case 1:
      case 2:
      case 3:
        return json::Object{{"type", pick<json::Value>({"set_prop", "add_prop", "sub_prop"})},
                            {"target", target_ref()},
                            {"property", name("hp")},
                            {"value", expression(0)}};
      case 4:
      case 5:
        return json::Object{
            {"type", pick<json::Value>({"add_tag", "remove_tag"})}, {"target", target_ref()}, {"tag", name("x")}};
      case 6:
        if (chance(faults_)) return json::Object{{"type", pick<json::Value>({"grant", 2})}};
        return json::Object{{"type", "add_tag"}, {"target", target_ref()}, {"tag", name("y")}};
      case 7: {
        json::Object node{{"type", "if"}, {"condition", condition(0)}, {"then", mutation_list(depth + 1)}};
        if (chance(2)) node.insert_or_assign("else", chance(faults_) ? json::Value(nullptr) : mutation_list(depth + 1));
        return node;
      }
      case 8:
        return json::Object{{"type", "repeat"},
                            {"count", pick<json::Value>({1, 2, 3, 16, json::Value(2.0)}, {0, 17, "2"})},
                            {"mutations", mutation_list(depth + 1)}};
      default: {
        json::Object select{{"tag", name("x")}};
        if (chance(2)) select.insert_or_assign("limit", pick<json::Value>({1, 2, 32}, {0, 33, -1, json::Value(1.5)}));
        return json::Object{{"type", "foreach_target"},
                            {"select", chance(faults_) ? json::Value(json::Array{}) : json::Value(select)},
                            {"mutations", mutation_list(depth + 1)}};
      }
    }
  }

  json::Value entity() {
    json::Object properties;
    if (chance(2)) properties.insert_or_assign("hp", integer());
    if (chance(3)) properties.insert_or_assign("str", integer());
    json::Array tags;
    for (std::uint32_t i = random_.roll_die(5) - 1; i > 0; --i) {
      tags.push_back(pick<json::Value>({"x", "x", "y", "wounded", "z", 3}));
    }
    json::Object entity{{"properties", properties}, {"tags", tags}};
    if (chance(20)) entity.insert_or_assign("tags", "x");
    if (chance(20)) entity.erase("properties");
    return entity;
  }

  math::Pcg32 random_;
  std::uint32_t faults_ = 1;  // a rule has a fault in about one choice in `faults_`
};

std::optional<std::string_view> view_of(const std::optional<std::string>& target) {
  if (target) return std::string_view(*target);
  return std::nullopt;
}

std::string shown(const std::optional<std::int64_t>& number) { return number ? std::to_string(*number) : "-"; }
std::string shown(const std::optional<std::string>& text) { return text ? *text : "-"; }

std::string shown(const std::vector<AppliedMutation>& applied) {
  std::string text;
  for (const AppliedMutation& record : applied) {
    text += std::string(mutation_op_name(record.op)) + " " + record.target + " " + shown(record.property) + " " +
            shown(record.tag) + " " + shown(record.previous) + " " + shown(record.next) + ";";
  }
  return text;
}

std::string shown(const CheckOutcome& outcome) {
  return outcome.degree + " natural " + shown(outcome.natural) + " roll " + std::to_string(outcome.roll) + " dc " +
         std::to_string(outcome.dc) + " delta " + std::to_string(outcome.delta) + " " + shown(outcome.applied);
}

std::string refused(const std::string& message) { return "refused: " + message; }

// What a rule that passed validation did: what it gave, or the message it failed with, the state
// it left and the generator steps it took.
template <typename Outcome>
std::string transcript(const Result<Outcome>& outcome, const json::Value& state, const math::Pcg32& dice) {
  std::string text = outcome ? "ran: " + shown(*outcome) : "failed: " + outcome.error();
  return text + " state " + json::write(state) + " steps " + std::to_string(dice.steps());
}

struct Call {
  json::Value rule;
  json::Value world;
  std::string actor;
  std::optional<std::string> target;
};

Call check_call(RuleMaker& maker) { return {maker.check(), maker.world(), maker.actor(), maker.target()}; }
Call trigger_call(RuleMaker& maker) { return {maker.mutations(), maker.world(), maker.actor(), maker.target()}; }

// The check is vetted and then run with an index of the caller's, as the actions of an epoch are.
std::string run_check(const Call& call, std::uint64_t seed) {
  Result<ValidatedCheck> vetted = vet_check(call.rule);
  if (!vetted) return refused(vetted.error());
  json::Value state = call.world;
  math::Pcg32 dice = math::Pcg32::seeded(seed);
  SelectionIndex selections;
  Result<CheckOutcome> outcome =
      evaluate_action_in_place(state, selections, *vetted, call.actor, view_of(call.target), dice);
  selections.hand_back(state);
  return transcript(outcome, state, dice);
}

// The trigger is run as the module runs one: validated by the call that runs it.
std::string run_trigger(const Call& call, std::uint64_t seed) {
  if (Result<void> valid = validate_triggered_mutations(call.rule); !valid) return refused(valid.error());
  json::Value state = call.world;
  math::Pcg32 dice = math::Pcg32::seeded(seed);
  auto applied = apply_triggered_mutations_in_place(state, call.rule, call.actor, view_of(call.target), dice);
  return transcript(applied, state, dice);
}

struct RandomRules {
  const char* kind;
  Call (*make)(RuleMaker&);
  std::string (*run)(const Call&, std::uint64_t);
  std::uint64_t maker_seed;
  int count;
  // The chained HMAC-SHA-256 of every transcript, as the rules engine gave them when it still
  // walked the rule JSON instead of compiled trees. A change to any message, outcome, state or
  // generator step of these rules changes it.
  const char* digest;
};

void PrintTo(const RandomRules& rules, std::ostream* out) { *out << rules.kind; }

class RandomRulesTest : public testing::TestWithParam<RandomRules> {};

TEST_P(RandomRulesTest, GiveTheRecordedTranscripts) {
  const RandomRules& rules = GetParam();
  RuleMaker maker(rules.maker_seed);
  std::string digest;
  int ran = 0;
  for (int i = 0; i < rules.count; ++i) {
    const Call call = rules.make(maker);
    const std::string text = rules.run(call, static_cast<std::uint64_t>(i));
    ran += text.starts_with("ran: ") ? 1 : 0;
    digest = events::hmac_sha256_hex(digest, text);
  }
  EXPECT_GT(ran, rules.count / 12);  // enough rules are valid and run to the end
  EXPECT_EQ(digest, rules.digest);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RandomRulesTest,
    testing::Values(RandomRules{"checks", check_call, run_check, 18, 8000,
                                "528046c716bec7bcb7209ef68d972b859d0f55df01fcb86ff58ad5a4591cf14d"},
                    RandomRules{"triggers", trigger_call, run_trigger, 81, 4000,
                                "8998c77054006dbf62cb859ab2c54dbb926e7585487a1d6ad32d1c35e3528f12"}),
    [](const auto& test) { return std::string(test.param.kind); });

}  // namespace
}  // namespace kest::ruleset
