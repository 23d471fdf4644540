// Evaluation of checks and triggers: grading, the natural die, arithmetic limits, mutations and
// their records, foreach_target selection, generator steps and undoing a failed rule.
#include <gtest/gtest.h>

#include <string>

#include "kest/ruleset.hpp"
#include "rules_test_support.hpp"

namespace kest::ruleset {
namespace {

constexpr const char* kState = R"({"entities":{"a":{"properties":{"hp":10},"tags":["x"]}},"epoch":3})";

std::string literal(std::int64_t n) { return R"({"type":"literal","value":)" + std::to_string(n) + "}"; }

std::string check(std::string roll, std::string dc, std::string degrees) {
  return R"({"type":"check","roll":)" + roll + R"(,"dc":)" + dc + R"(,"degrees":)" + degrees + "}";
}

std::string degree(std::string name, std::string condition, std::string mutations = "[]") {
  return "\"" + name + R"(":{"condition":)" + condition + R"(,"mutations":)" + mutations + "}";
}

std::string delta_gte(int n) { return R"({"type":"delta_gte","value":)" + std::to_string(n) + "}"; }

constexpr const char* kAlways =
    R"({"type":"compare","op":"eq","left":{"source":"literal","value":1},"right":{"source":"literal","value":1}})";

std::string add_prop(std::string target, std::string property, std::string value) {
  return R"({"type":"add_prop","target":")" + target + R"(","property":")" + property + R"(","value":)" + value + "}";
}

std::string tag_node(std::string type, std::string target, std::string tag) {
  return R"({"type":")" + type + R"(","target":")" + target + R"(","tag":")" + tag + R"("})";
}

Result<ActionResult> evaluate(std::string_view state, const std::string& rule,
                              std::optional<std::string_view> target = std::nullopt, std::uint64_t seed = 0) {
  return evaluate_action(doc(state), doc(rule), "a", target, seed);
}

Result<MutationsResolution> trigger(std::string_view state, const std::string& mutations,
                                    std::optional<std::string_view> target = std::nullopt) {
  return apply_triggered_mutations(doc(state), doc(mutations), "a", target, 0);
}

struct GradeCase {
  std::int64_t roll;
  std::string degrees;
  const char* degree;
};

TEST(EvaluateAction, DegreesByPrecedence) {
  const std::string critical = degree("critical_success", delta_gte(10));
  const std::string success = degree("success", delta_gte(0));
  const std::string failure = degree("failure", kAlways);
  const std::string roll_vs_dc =
      degree("success", R"({"type":"compare","op":"gte","left":{"source":"roll"},"right":{"source":"dc"}})");
  const GradeCase cases[] = {
      {10, "{" + success + "}", "success"},
      {9, "{" + success + "}", "none"},
      {20, "{" + critical + "," + success + "}", "critical_success"},
      {19, "{" + critical + "," + success + "," + failure + "}", "success"},
      {9, "{" + critical + "," + success + "," + failure + "}", "failure"},
      {9, "{" + degree("critical_failure", kAlways) + "," + failure + "}", "failure"},
      {20, "{" + degree("partial", kAlways) + "}", "none"},
      {10, "{" + roll_vs_dc + "}", "success"},
      {9, "{" + roll_vs_dc + "}", "none"},
      {10, "{}", "none"},
  };
  for (const GradeCase& c : cases) {
    Result<ActionResult> result = evaluate(kState, check(literal(c.roll), literal(10), c.degrees));
    ASSERT_TRUE(result.has_value()) << c.degrees << result.error();
    EXPECT_EQ(result->outcome.degree, c.degree) << c.roll << " " << c.degrees;
    EXPECT_EQ(result->outcome.delta, c.roll - 10);
  }
}

TEST(EvaluateAction, NaturalIsTheFirstDieOfTheRoll) {
  const std::string nat_18 = "{" + degree("success", R"({"type":"nat_roll_eq","value":18})") + "}";
  // From seed 0 the first d20 is 18.
  Result<ActionResult> result = evaluate(kState, check(R"({"type":"dice","equation":"1d20+5"})", literal(15), nat_18));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->outcome.natural, 18);
  EXPECT_EQ(result->outcome.roll, 23);
  EXPECT_EQ(result->outcome.delta, 8);
  EXPECT_EQ(result->outcome.degree, "success");

  // Dice of the dc never supply it; without a natural die every natural test is false.
  const std::string natural_tests =
      "{" + degree("critical_success", R"({"type":"nat_roll_gte","value":-100})") + "," +
      degree("success",
             R"({"type":"compare","op":"ne","left":{"source":"natural"},"right":{"source":"literal","value":0}})") +
      "," + degree("failure", R"({"type":"nat_roll_lte","value":100})") + "}";
  result = evaluate(kState, check(literal(5), R"({"type":"dice","equation":"1d20"})", natural_tests));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->outcome.natural, std::nullopt);
  EXPECT_EQ(result->outcome.degree, "none");

  // A die of 0 sides has the face 0.
  result = evaluate(kState, check(R"({"type":"dice","equation":"1d0+10"})", literal(10), natural_tests));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->outcome.natural, 0);
  EXPECT_EQ(result->outcome.degree, "critical_success");
}

struct FailureCase {
  std::string rule;
  std::string error;
};

TEST(EvaluateAction, ArithmeticIsHeldToTheJsSafeRange) {
  const std::string max = literal(9007199254740991);
  auto math = [](std::string op, std::string left, std::string right) {
    return R"({"type":"math","op":")" + op + R"(","left":)" + left + R"(,"right":)" + right + "}";
  };
  const FailureCase cases[] = {
      {check(math("add", max, max), literal(0), "{}"), "AST: math result must be a JS-safe integer: 18014398509481982"},
      {check(math("mul", max, max), literal(0), "{}"),
       "AST: math result must be a JS-safe integer: 81129638414606663681390495662081"},
      {check(math("sub", literal(-9007199254740991), literal(1)), literal(0), "{}"),
       "AST: math result must be a JS-safe integer: -9007199254740992"},
      {check(max, literal(-1), "{}"), "AST: delta must be a JS-safe integer: 9007199254740992"},
      {check(literal(1), literal(0), "{" + degree("success", kAlways, "[" + add_prop("self", "hp", max) + "]") + "}"),
       "AST: mutated property must be a JS-safe integer: 9007199254741001"},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(error_of(evaluate(kState, c.rule)), c.error) << c.rule;

  struct Division {
    std::int64_t left, right, quotient;
  };
  for (auto [left, right, quotient] : {Division{-7, 2, -4}, Division{7, -2, -4}, Division{-7, -2, 3}, Division{7, 2, 3},
                                       Division{5, 0, 0}, Division{-6, 3, -2}}) {
    Result<ActionResult> result =
        evaluate(kState, check(math("floor_div", literal(left), literal(right)), literal(0), "{}"));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->outcome.roll, quotient) << left << " / " << right;
  }
}

TEST(EvaluateAction, ReferencesResolveOnlyOnThePathThatRuns) {
  const std::string needs_target = "[" + add_prop("target", "hp", literal(1)) + "]";
  const std::string degrees =
      "{" + degree("success", delta_gte(0), needs_target) + "," +
      degree("failure", kAlways,
             R"([{"type":"if","condition":)" + std::string(kAlways) + R"(,"then":[],"else":)" + needs_target + "}]") +
      "}";
  EXPECT_EQ(evaluate(kState, check(literal(9), literal(10), degrees))->outcome.degree, "failure");
  EXPECT_EQ(error_of(evaluate(kState, check(literal(10), literal(10), degrees))),
            "AST: action references target but none supplied");
  Result<ActionResult> with_target = evaluate(kState, check(literal(10), literal(10), degrees), "b");
  ASSERT_TRUE(with_target.has_value());
  EXPECT_EQ(with_target->state["entities"]["b"], doc(R"({"properties":{"hp":1},"tags":[]})"));
}

TEST(EvaluateAction, ConditionsSeeTheStateBeforeTheMutations) {
  const std::string rule =
      check(literal(0), literal(0),
            "{" +
                degree("success", R"({"type":"has_tag","target":"self","tag":"x"})",
                       "[" + tag_node("remove_tag", "self", "x") + "," + add_prop("self", "hp", literal(1)) + "]") +
                "}");
  Result<ActionResult> result = evaluate(kState, rule);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->outcome.degree, "success");
  EXPECT_EQ(result->state, doc(R"({"entities":{"a":{"properties":{"hp":11},"tags":[]}},"epoch":3})"));
  EXPECT_EQ(result->outcome.applied.size(), 2U);
}

TEST(ApplyTriggeredMutations, PropertyMutationsAndTheirRecords) {
  Result<MutationsResolution> result = trigger(
      kState,
      "[" + add_prop("target", "mp", literal(5)) + R"(,{"type":"sub_prop","target":"self","property":"hp","value":)" +
          literal(3) + R"(},{"type":"set_prop","target":"actor","property":"hp","value":)" + literal(-2) +
          R"(},{"type":"repeat","count":2,"mutations":[)" + add_prop("self", "hp", literal(1)) + "]}]",
      "new");
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->state, doc(R"({"entities":{"a":{"properties":{"hp":0},"tags":["x"]},)"
                               R"("new":{"properties":{"mp":5},"tags":[]}},"epoch":3})"));
  const std::vector<AppliedMutation> expected = {
      {MutationOp::kAddProp, "new", "mp", std::nullopt, 0, 5}, {MutationOp::kSubProp, "a", "hp", std::nullopt, 10, 7},
      {MutationOp::kSetProp, "a", "hp", std::nullopt, 7, -2},  {MutationOp::kAddProp, "a", "hp", std::nullopt, -2, -1},
      {MutationOp::kAddProp, "a", "hp", std::nullopt, -1, 0},
  };
  EXPECT_EQ(result->outcome, expected);
}

TEST(ApplyTriggeredMutations, StateShapeFaultsAtApplication) {
  const std::string set_hp = R"([{"type":"set_prop","target":"self","property":"hp","value":)" + literal(1) + "}]";
  const FailureCase cases[] = {
      {R"({"entities":{"a":{"tags":[]}}})", "AST: entity.properties must be an object"},
      {R"({"entities":{"a":{"properties":{"hp":7.5}}}})", "AST: property must be a JS-safe integer: 7.5"},
      {R"({"entities":{"a":[]}})", "AST: entity must be an object"},
      {R"({"entities":[]})", "AST: state.entities must be an object"},
      {R"({})", "AST: state.entities must be an object"},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(error_of(trigger(c.rule, set_hp)), c.error) << c.rule;
}

struct TagCase {
  std::string node;
  const char* entity;  // the entity "a" afterwards
};

TEST(ApplyTriggeredMutations, TagListsAreNormalisedOrFiltered) {
  const char* state = R"({"entities":{"a":{"properties":{},"tags":["c","a","c",3]}}})";
  const TagCase cases[] = {
      {tag_node("add_tag", "self", "b"), R"({"properties":{},"tags":["a","b","c"]})"},
      {tag_node("add_tag", "self", "\U00010000"), "{\"properties\":{},\"tags\":[\"a\",\"c\",\"\U00010000\"]}"},
      {tag_node("remove_tag", "self", "c"), R"({"properties":{},"tags":["a"]})"},
      {tag_node("remove_tag", "self", "z"), R"({"properties":{},"tags":["c","a","c"]})"},
  };
  for (const TagCase& c : cases) {
    Result<MutationsResolution> result = trigger(state, "[" + c.node + "]");
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->state["entities"]["a"], doc(c.entity)) << c.node;
  }
  // Removing from an entity that does not exist creates it, and is still recorded.
  Result<MutationsResolution> created = trigger(state, "[" + tag_node("remove_tag", "target", "c") + "]", "b");
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(created->state["entities"]["b"], doc(R"({"properties":{},"tags":[]})"));
  EXPECT_EQ(
      created->outcome,
      (std::vector<AppliedMutation>{{MutationOp::kRemoveTag, "b", std::nullopt, "c", std::nullopt, std::nullopt}}));
}

std::vector<std::string> visited(const std::vector<AppliedMutation>& applied) {
  std::vector<std::string> targets;
  for (const AppliedMutation& record : applied) targets.push_back(record.target + ":" + record.tag.value_or(""));
  return targets;
}

TEST(ApplyTriggeredMutations, ForeachVisitsTaggedEntitiesInUtf16Order) {
  const std::string state =
      "{\"entities\":{\"b\":{\"tags\":[\"x\"]},\"a\":{\"tags\":[\"x\",\"y\"]},"
      "\"10\":{\"tags\":[\"x\"]},\"\uE000\":{\"tags\":[\"x\"]},\"\U00010000\":{\"tags\":[\"x\"]},"
      "\"n\":{\"tags\":[\"y\"]},\"o\":{\"tags\":\"x\"}}}";
  auto foreach = [](std::string tag, std::string limit, std::string body) {
    return R"({"type":"foreach_target","select":{"tag":")" + tag + "\"" + limit + R"(},"mutations":[)" + body + "]}";
  };
  const std::string mark = tag_node("add_tag", "each", "m");
  EXPECT_EQ(visited(trigger(state, "[" + foreach ("x", "", mark) + "]")->outcome),
            (std::vector<std::string>{"10:m", "a:m", "b:m", "\U00010000:m", "\uE000:m"}));
  EXPECT_EQ(visited(trigger(state, "[" + foreach ("x", R"(,"limit":2)", mark) + "]")->outcome),
            (std::vector<std::string>{"10:m", "a:m"}));
  // The selection is made once: tagging "n" with "x" in the body does not add a visit.
  EXPECT_EQ(visited(trigger(state, "[" +
                                       foreach ("x", R"(,"limit":1)",
                                                tag_node("add_tag", "actor", "x") + "," + foreach ("x", "", "")) +
                                       "]")
                        ->outcome),
            (std::vector<std::string>{"a:x"}));
  // An inner loop binds "each" to its own entities and gives the outer one back afterwards.
  const std::string nested = foreach ("y", "",
                                      tag_node("add_tag", "each", "outer") + "," +
                                          foreach ("x", R"(,"limit":1)", tag_node("add_tag", "each", "inner")) + "," +
                                          tag_node("add_tag", "each", "after"));
  EXPECT_EQ(visited(trigger(state, "[" + nested + "]")->outcome),
            (std::vector<std::string>{"a:outer", "10:inner", "a:after", "n:outer", "10:inner", "n:after"}));
}

TEST(ApplyTriggeredMutations, ForeachScansAtMostMaxWorldEntities) {
  auto world = [](int entities) {
    std::string text = R"({"entities":{)";
    for (int i = 0; i < entities; ++i) text += (i > 0 ? ",\"" : "\"") + std::to_string(i) + R"(":{})";
    return text + "}}";
  };
  const std::string rule = R"([{"type":"foreach_target","select":{"tag":"x"},"mutations":[]}])";
  EXPECT_TRUE(trigger(world(65536), rule).has_value());
  EXPECT_EQ(error_of(trigger(world(65537), rule)),
            "AST: world entity count 65537 exceeds MAX_WORLD_ENTITIES (65536) at foreach_target select");
}

TEST(GeneratorSteps, ValidationDrawsNothingAndFailuresKeepTheirDraws) {
  // A d2 never rejects a draw, so each d2 is exactly one step; a d0 takes none.
  const std::string rule = check(
      R"({"type":"dice","equation":"2d2"})", R"({"type":"dice","equation":"1d0"})",
      "{" + degree("success", kAlways, "[" + add_prop("self", "hp", R"({"type":"dice","equation":"3d2"})") + "]") +
          "," +
          degree("critical_failure", kAlways,
                 "[" + add_prop("self", "hp", R"({"type":"dice","equation":"50d2"})") + "]") +
          "}");
  // Each call runs on a fresh copy of the state, so only the generator carries over.
  json::Value state = doc(kState);
  math::Pcg32 rng = math::Pcg32::seeded(7);
  ASSERT_TRUE(evaluate_action_in_place(state, doc(rule), "a", std::nullopt, rng).has_value());
  EXPECT_EQ(rng.steps(), 2U + 5U);

  rng = math::Pcg32::seeded(7);
  state = doc(kState);
  EXPECT_EQ(error_of(evaluate_action_in_place(state, doc(R"({"type":"check"})"), "a", std::nullopt, rng)),
            "AST: malformed expression node");
  EXPECT_EQ(rng.steps(), 2U);

  const std::string fails_late = "[" + add_prop("self", "hp", R"({"type":"dice","equation":"4d2"})") + "," +
                                 add_prop("target", "hp", literal(1)) + "]";
  EXPECT_EQ(error_of(apply_triggered_mutations_in_place(state, doc(fails_late), "a", std::nullopt, rng)),
            "AST: action references target but none supplied");
  EXPECT_EQ(rng.steps(), 2U + 4U);
  ASSERT_TRUE(apply_triggered_mutations_in_place(state, doc("[" + tag_node("add_tag", "self", "t") + "]"), "a",
                                                 std::nullopt, rng)
                  .has_value());
  EXPECT_EQ(rng.steps(), 2U + 4U);
}

TEST(InPlace, AFailedRuleLeavesTheStateAsItWas) {
  const json::Value before =
      doc(R"({"entities":{"a":{"properties":{"hp":7.0}},"b":{"properties":{},"tags":["q","p"]}},"epoch":1})");
  const std::string rule = "[" + add_prop("self", "hp", literal(1)) + "," + add_prop("target", "new", literal(1)) +
                           "," + tag_node("add_tag", "self", "t") + "," + tag_node("remove_tag", "target", "q") + "," +
                           R"({"type":"foreach_target","select":{"tag":"p"},"mutations":[)" +
                           tag_node("add_tag", "each", "r") + "," +
                           add_prop("each", "hp", R"({"type":"prop_ref","target":"actor","property":"missing"})") +
                           "]}," + add_prop("self", "hp", literal(9007199254740991)) + "]";
  json::Value state = before;
  math::Pcg32 rng = math::Pcg32::seeded(0);
  EXPECT_EQ(error_of(apply_triggered_mutations_in_place(state, doc(rule), "a", "c", rng)),
            "AST: mutated property must be a JS-safe integer: 9007199254740999");
  EXPECT_EQ(state, before);

  json::Value valid_rule = doc("[" + add_prop("self", "hp", literal(1)) + "]");
  ASSERT_TRUE(apply_triggered_mutations_in_place(state, valid_rule, "a", std::nullopt, rng).has_value());
  EXPECT_EQ(state["entities"]["a"]["properties"]["hp"], json::Value(8));

  const json::Value check_rule = doc(check(literal(0), literal(0), "{" + degree("success", kAlways, rule) + "}"));
  json::Value checked = before;
  EXPECT_EQ(error_of(evaluate_action_in_place(checked, check_rule, "a", "c", rng)),
            "AST: mutated property must be a JS-safe integer: 9007199254740999");
  EXPECT_EQ(checked, before);
}

TEST(EvaluateAction, InputIsUnchangedAndOutcomesRepeat) {
  const json::Value state = doc(kState);
  const json::Value rule = doc(check(
      R"({"type":"dice","equation":"3d6"})", literal(10),
      "{" + degree("success", delta_gte(0), "[" + add_prop("self", "hp", R"({"type":"dice","equation":"1d8"})") + "]") +
          "," + degree("failure", kAlways, "[" + tag_node("add_tag", "self", "f") + "]") + "}"));
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    Result<ActionResult> first = evaluate_action(state, rule, "a", std::nullopt, seed);
    Result<ActionResult> second = evaluate_action(state, rule, "a", std::nullopt, seed);
    ASSERT_TRUE(first.has_value() && second.has_value());
    EXPECT_EQ(first->state, second->state);
    EXPECT_EQ(first->outcome.roll, second->outcome.roll);
    EXPECT_EQ(first->outcome.applied, second->outcome.applied);
  }
  EXPECT_EQ(state, doc(kState));
}

// A vetted rule holds its own tree, so it runs as the rule did after the rule's JSON is gone.
TEST(VettedRules, OutliveTheJsonTheyWereCompiledFrom) {
  const std::string check_text = check(
      R"({"type":"math","op":"add","left":{"type":"dice","equation":"2d6"},"right":{"type":"prop_ref","target":"self","property":"hp"}})",
      literal(12),
      "{" +
          degree("success", R"({"type":"has_tag","target":"target","tag":"x"})",
                 "[" + add_prop("target", "a_long_property_name_kept_on_the_heap", literal(3)) + "]") +
          "}");
  const std::string trigger_text = R"([{"type":"foreach_target","select":{"tag":"x"},"mutations":[)" +
                                   tag_node("add_tag", "each", "a_long_tag_name_kept_on_the_heap_too") + "]}]";
  auto vetted_check = vet_check(doc(check_text));
  auto vetted_trigger = vet_triggered_mutations(doc(trigger_text));
  ASSERT_TRUE(vetted_check.has_value() && vetted_trigger.has_value());

  json::Value state = doc(kState);
  SelectionIndex selections;
  math::Pcg32 dice = math::Pcg32::seeded(5);
  Result<CheckOutcome> graded = evaluate_action_in_place(state, selections, *vetted_check, "a", "a", dice);
  Result<std::vector<AppliedMutation>> applied =
      apply_triggered_mutations_in_place(state, selections, *vetted_trigger, "a", std::nullopt, dice);
  selections.hand_back(state);

  json::Value expected_state = doc(kState);
  math::Pcg32 expected_dice = math::Pcg32::seeded(5);
  Result<CheckOutcome> expected_graded =
      evaluate_action_in_place(expected_state, doc(check_text), "a", "a", expected_dice);
  ASSERT_TRUE(graded.has_value() && expected_graded.has_value());
  EXPECT_EQ(graded->degree, "success");
  EXPECT_EQ(graded->applied, expected_graded->applied);
  EXPECT_EQ(applied,
            apply_triggered_mutations_in_place(expected_state, doc(trigger_text), "a", std::nullopt, expected_dice));
  EXPECT_EQ(state, expected_state);
}

}  // namespace
}  // namespace kest::ruleset
