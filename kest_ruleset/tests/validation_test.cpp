// Rules of every malformed shape fail validation with their message, and the budgets and depth
// limits hold exactly at their boundaries.
#include <gtest/gtest.h>

#include <string>

#include "kest/ruleset.hpp"
#include "rules_test_support.hpp"

namespace kest::ruleset {
namespace {

struct RuleCase {
  std::string rule;
  const char* error;  // nullptr when the rule is valid
};

std::string repeated(std::string_view unit, int times, std::string_view separator = ",") {
  std::string text;
  for (int i = 0; i < times; ++i) text += std::string(i > 0 ? separator : "") + std::string(unit);
  return text;
}

// A chain of "math" nodes whose deepest literal lies at `depth`.
std::string math_chain(int depth) {
  std::string text = R"({"type":"literal","value":1})";
  for (int i = 0; i < depth; ++i)
    text = R"({"type":"math","op":"add","left":)" + text + R"(,"right":{"type":"literal","value":1}})";
  return text;
}

// "and" conditions nested so that the innermost condition lies at `depth`.
std::string condition_chain(int depth) {
  std::string text = R"({"type":"has_tag","target":"self","tag":"x"})";
  for (int i = 0; i < depth; ++i) text = R"({"type":"and","conditions":[)" + text + "]}";
  return text;
}

// `body` inside `count` nested "repeat" nodes of the given repetition.
std::string repeats(int count, int times, std::string body) {
  for (int i = 0; i < count; ++i) {
    body = R"([{"type":"repeat","count":)" + std::to_string(times) + R"(,"mutations":)" + body + "}]";
  }
  return body;
}

constexpr const char* kSetHp =
    R"({"type":"set_prop","target":"actor","property":"hp","value":{"type":"literal","value":1}})";

std::string check(std::string roll, std::string degrees) {
  return R"({"type":"check","roll":)" + roll + R"(,"dc":{"type":"literal","value":10},"degrees":)" + degrees + "}";
}

std::string check_with_success(std::string condition, std::string mutations) {
  return check(R"({"type":"literal","value":1})",
               R"({"success":{"condition":)" + condition + R"(,"mutations":)" + mutations + "}}");
}

constexpr const char* kTrue =
    R"({"type":"compare","op":"eq","left":{"source":"literal","value":1},"right":{"source":"literal","value":1}})";
constexpr const char* kDelta = R"({"type":"delta_gte","value":0})";

void expect_check_cases(const std::vector<RuleCase>& cases) {
  for (const RuleCase& c : cases) {
    Result<void> valid = validate_check(doc(c.rule));
    if (c.error == nullptr) {
      EXPECT_TRUE(valid.has_value()) << c.rule.substr(0, 300) << "\n" << error_of(valid);
    } else {
      EXPECT_EQ(error_of(valid), c.error) << c.rule.substr(0, 300);
    }
  }
}

void expect_trigger_cases(const std::vector<RuleCase>& cases) {
  for (const RuleCase& c : cases) {
    Result<void> valid = validate_triggered_mutations(doc(c.rule));
    if (c.error == nullptr) {
      EXPECT_TRUE(valid.has_value()) << c.rule.substr(0, 300) << "\n" << error_of(valid);
    } else {
      EXPECT_EQ(error_of(valid), c.error) << c.rule.substr(0, 300);
    }
  }
}

TEST(ValidateCheck, MalformedShapes) {
  expect_check_cases({
      {R"({"type":"chek"})", "AST: expected a check node"},
      {R"([])", "AST: expected a check node"},
      {check(R"({"type":"literal","value":1})", "[]"), "AST: check.degrees must be an object"},
      {check(R"({"type":"literal"})", "{}"), "AST: literal must be a JS-safe integer: null"},
      {check(R"({"type":"literal","value":1.5})", "{}"), "AST: literal must be a JS-safe integer: 1.5"},
      {check(R"({"value":1})", "{}"), "AST: malformed expression node"},
      {check("7", "{}"), "AST: malformed expression node"},
      {check(R"({"type":"dice","equation":20})", "{}"), "AST: dice equation must be a string"},
      {check(R"({"type":"dice","equation":"1d20.5"})", "{}"),
       "AST: dice equation must be a decimal-free string: 1d20.5"},
      {check(R"({"type":"power"})", "{}"), "AST: unknown expression node type: power"},
      // The op is looked at before the sides.
      {check(R"({"type":"math","op":"pow","left":1})", "{}"), "AST: unknown math op: pow"},
      {check(R"({"type":"math","left":{"type":"literal","value":1}})", "{}"), "AST: unknown math op: "},
      {check(R"({"type":"math","op":"add","left":{"type":"literal","value":1}})", "{}"),
       "AST: malformed expression node"},
      {check(R"({"type":"prop_ref","target":1,"property":"hp"})", "{}"), "AST: prop_ref target must be a string"},
      {check(R"({"type":"prop_ref","target":"enemy","property":"hp"})", "{}"), "AST: unknown target ref: enemy"},
      {check(R"({"type":"prop_ref","target":"each","property":"hp"})", "{}"),
       "AST: target ref each is only valid inside a foreach_target body"},
      {check(R"({"type":"prop_ref","target":"self"})", "{}"), "AST: prop_ref property must be a string"},
      {check(R"({"type":"prop_ref","target":"self","property":"__proto__"})", "{}"),
       "AST: property name \"__proto__\" is forbidden"},
      {check_with_success(R"({"type":"delta_gte","value":0})", "{}"), "AST: mutations must be an array"},
      {check(R"({"type":"literal","value":1})", R"({"success":{"mutations":[]}})"), "AST: malformed degree condition"},
      {check(R"({"type":"literal","value":1})", R"({"success":3})"), "AST: malformed degree condition"},
      {check_with_success(R"({"type":"or"})", "[]"), "AST: or condition requires a conditions array"},
      {check_with_success(R"({"type":"and","conditions":[]})", "[]"), "AST: and requires a non-empty conditions array"},
      {check_with_success(R"({"type":"or","conditions":[]})", "[]"), nullptr},
      {check_with_success(R"({"type":"compare","op":"gt="})", "[]"), "AST: unknown compare op: gt="},
      {check_with_success(R"({"type":"compare","op":"gt","left":{"source":"dc"}})", "[]"),
       "AST: malformed compare operand"},
      {check_with_success(R"({"type":"compare","op":"gt","left":{"source":"die"},"right":{"source":"dc"}})", "[]"),
       "AST: unknown compare operand source: die"},
      {check_with_success(
           R"({"type":"compare","op":"gt","left":{"source":"prop","target":"self"},"right":{"source":"dc"}})", "[]"),
       "AST: compare prop operand property must be a string"},
      {check_with_success(R"({"type":"compare","op":"gt","left":{"source":"prop"},"right":{"source":"dc"}})", "[]"),
       "AST: compare prop operand target must be a string"},
      {check_with_success(
           R"({"type":"compare","op":"gt","left":{"source":"literal","value":"1"},"right":{"source":"dc"}})", "[]"),
       "AST: compare literal operand must be a JS-safe integer: \"1\""},
      {check_with_success(R"({"type":"has_tag","target":"self","tag":""})", "[]"),
       "AST: tag name must be a non-empty string"},
      {check_with_success(R"({"type":"has_tag","target":"self"})", "[]"), "AST: tag must be a string"},
      {check_with_success(R"({"type":"has_tag","tag":"x"})", "[]"), "AST: has_tag target must be a string"},
      {check_with_success(R"({"type":"nat_roll_gte","value":2.5})", "[]"),
       "AST: nat_roll_gte must be a JS-safe integer: 2.5"},
      {check_with_success(R"({"type":"critical"})", "[]"), "AST: unknown degree condition: critical"},
  });
}

TEST(ValidateCheck, DegreesAreVisitedInUtf16Order) {
  const std::string bad_or = R"({"condition":{"type":"or"},"mutations":[]})";
  const std::string bad_and = R"({"condition":{"type":"and"},"mutations":[]})";
  expect_check_cases({
      // "failure" comes before "success".
      {check(R"({"type":"literal","value":1})", R"({"success":)" + bad_or + R"(,"failure":)" + bad_and + "}"),
       "AST: and requires a non-empty conditions array"},
      // U+10000 is a surrogate pair, so it comes before U+E000 though its UTF-8 bytes sort after.
      {check(R"({"type":"literal","value":1})", "{\"\uE000\":" + bad_or + ",\"\U00010000\":" + bad_and + "}"),
       "AST: and requires a non-empty conditions array"},
  });
}

TEST(ValidateMutations, MalformedShapes) {
  expect_trigger_cases({
      {R"({})", "AST: mutations must be an array"},
      {R"([3])", "AST: malformed mutation node"},
      {R"([{"type":"delete"}])", "AST: unknown mutation node type: delete"},
      {R"([{"type":"set_prop","property":"hp"}])", "AST: mutation target must be a string"},
      {R"([{"type":"set_prop","target":"foe","property":"hp"}])", "AST: unknown target ref: foe"},
      {R"([{"type":"add_prop","target":"self"}])", "AST: property must be a string"},
      {R"([{"type":"add_prop","target":"self","property":"e\u0301"}])",
       "AST: property name is not NFC (normalize first)"},
      {R"([{"type":"sub_prop","target":"self","property":"hp"}])", "AST: malformed expression node"},
      {R"([{"type":"add_tag","target":"self"}])", "AST: tag must be a string"},
      {R"([{"type":"remove_tag","target":"self","tag":"__proto__"}])", "AST: tag name \"__proto__\" is forbidden"},
      {R"([{"type":"if","condition":{"type":"has_tag","target":"self","tag":"x"}}])",
       "AST: if.then must be a mutation array"},
      {R"([{"type":"if","condition":{"type":"has_tag","target":"self","tag":"x"},"then":[]}])", nullptr},
      {R"([{"type":"if","condition":{"type":"has_tag","target":"self","tag":"x"},"then":[],"else":null}])",
       "AST: if.else must be a mutation array"},
      {R"([{"type":"repeat","mutations":[]}])", "AST: repeat count must be an integer in 1..16"},
      {R"([{"type":"repeat","count":0,"mutations":[]}])", "AST: repeat count must be an integer in 1..16"},
      {R"([{"type":"repeat","count":17,"mutations":[]}])", "AST: repeat count must be an integer in 1..16"},
      {R"([{"type":"repeat","count":2.5,"mutations":[]}])", "AST: repeat count must be an integer in 1..16"},
      {R"([{"type":"repeat","count":1e300,"mutations":[]}])", "AST: repeat count must be an integer in 1..16"},
      {R"([{"type":"repeat","count":16.0,"mutations":[]}])", nullptr},
      {R"([{"type":"repeat","count":2}])", "AST: repeat.mutations must be an array"},
      {R"([{"type":"foreach_target","mutations":[]}])", "AST: foreach_target.select must be an object"},
      {R"([{"type":"foreach_target","select":{"tag":3},"mutations":[]}])", "AST: tag name must be a non-empty string"},
      {R"([{"type":"foreach_target","select":{"tag":""},"mutations":[]}])", "AST: tag name must be a non-empty string"},
      {R"([{"type":"foreach_target","select":{"tag":"x","limit":null},"mutations":[]}])",
       "AST: foreach_target select.limit must be an integer in 1..32"},
      {R"([{"type":"foreach_target","select":{"tag":"x","limit":0},"mutations":[]}])",
       "AST: foreach_target select.limit must be an integer in 1..32"},
      {R"([{"type":"foreach_target","select":{"tag":"x","limit":33},"mutations":[]}])",
       "AST: foreach_target select.limit must be an integer in 1..32"},
      {R"([{"type":"foreach_target","select":{"tag":"x","limit":32},"mutations":[]}])", nullptr},
      {R"([{"type":"foreach_target","select":{"tag":"x"}}])", "AST: foreach_target.mutations must be an array"},
      {R"([{"type":"foreach_target","select":{"tag":"x"},"mutations":[{"type":"add_tag","target":"each","tag":"y"}]}])",
       nullptr},
      {R"([{"type":"add_tag","target":"each","tag":"y"}])",
       "AST: target ref each is only valid inside a foreach_target body"},
  });
}

TEST(ValidateMutations, TriggerContextRefusesWhatReadsTheRoll) {
  auto in_if = [](std::string condition) { return R"([{"type":"if","condition":)" + condition + R"(,"then":[]}])"; };
  for (std::string type : {"delta_gte", "delta_lte", "nat_roll_eq", "nat_roll_gte", "nat_roll_lte"}) {
    Result<void> valid = validate_triggered_mutations(doc(in_if(R"({"type":")" + type + R"(","value":1})")));
    EXPECT_EQ(error_of(valid), "AST: " + type + " is not valid in trigger context");
  }
  for (std::string source : {"roll", "dc", "delta", "natural"}) {
    std::string compare =
        R"({"type":"compare","op":"eq","left":{"source":"literal","value":1},"right":{"source":")" + source + R"("}})";
    Result<void> valid = validate_triggered_mutations(doc(in_if(compare)));
    EXPECT_EQ(error_of(valid), "AST: compare operand source " + source + " is not valid in trigger context");
  }
  std::string allowed = R"({"type":"or","conditions":[{"type":"has_tag","target":"target","tag":"x"},)"
                        R"({"type":"compare","op":"ne","left":{"source":"prop","target":"self","property":"hp"},)"
                        R"("right":{"source":"literal","value":0}}]})";
  EXPECT_TRUE(validate_triggered_mutations(doc(in_if(allowed))).has_value());
}

TEST(ValidationBudget, NodesStopAt256BeforeTheDepthTest) {
  auto with_conditions = [](int count, std::string value) {
    return check_with_success(R"({"type":"or","conditions":[)" + repeated(kDelta, count) + "]}",
                              R"([{"type":"set_prop","target":"self","property":"hp","value":)" + value + "}]");
  };
  // roll, dc, "or", the mutation and 17 math nodes come before the literal at depth 17.
  expect_check_cases({
      {with_conditions(234, math_chain(17)), "AST: expression exceeds max depth 16"},
      {with_conditions(235, math_chain(17)), "AST: node budget exceeded (max 256)"},
      // roll, dc, "or", the mutation and its value: 251 conditions make 256 nodes exactly.
      {with_conditions(251, R"({"type":"literal","value":1})"), nullptr},
      {with_conditions(252, R"({"type":"literal","value":1})"), "AST: node budget exceeded (max 256)"},
  });
}

TEST(ValidationBudget, DepthLimitsOfExpressionsConditionsAndMutationLists) {
  expect_check_cases({
      {check(math_chain(16), "{}"), nullptr},
      {check(math_chain(17), "{}"), "AST: expression exceeds max depth 16"},
      {check_with_success(condition_chain(16), "[]"), nullptr},
      {check_with_success(condition_chain(17), "[]"), "AST: degree condition exceeds max depth 16"},
      {check_with_success(kTrue, repeats(16, 1, "[" + std::string(kSetHp) + "]")), nullptr},
      {check_with_success(kTrue, repeats(17, 1, "[]")), "AST: mutation structure exceeds max depth 16"},
  });
  // An "if" body is one level deeper, and its condition's depth starts again at 0.
  expect_trigger_cases({
      {repeats(15, 1, R"([{"type":"if","condition":)" + condition_chain(16) + R"(,"then":[],"else":[]}])"), nullptr},
      {repeats(16, 1, R"([{"type":"if","condition":{"type":"or","conditions":[]},"then":[]}])"),
       "AST: mutation structure exceeds max depth 16"},
  });
}

TEST(ValidationBudget, DiceAreWeightedByMultiplicity) {
  const std::string hundred_dice =
      R"([{"type":"set_prop","target":"self","property":"hp","value":{"type":"dice","equation":"100d6"}}])";
  expect_check_cases({
      {check_with_success(kTrue, repeats(1, 10, hundred_dice)), nullptr},
      {check(R"({"type":"dice","equation":"1d20"})",
             R"({"x":{"condition":)" + std::string(kTrue) + R"(,"mutations":)" + repeats(1, 10, hundred_dice) + "}}"),
       "AST: total dice count exceeds budget 1000"},
  });
}

TEST(ValidationBudget, AppliedMutationsAndMultiplicity) {
  const std::string foreach_32 = R"([{"type":"foreach_target","select":{"tag":"x"},"mutations":)";
  const std::string leaf = "[" + std::string(kSetHp) + "]";
  const std::string tag = R"({"type":"add_tag","target":"self","tag":"t"})";
  expect_trigger_cases({
      {repeats(1, 16, foreach_32 + leaf + "}]"), nullptr},  // 512
      {repeats(1, 16, foreach_32 + repeats(1, 3, leaf) + "}]"),
       "AST: applied-mutation budget exceeded (max 1024): repeat multiplicity 1536"},
      {repeats(1, 16, repeats(1, 4, foreach_32 + leaf + "}]")),
       "AST: applied-mutation budget exceeded (max 1024): foreach_target multiplicity 2048"},
      {repeats(1, 16, repeats(1, 16, repeats(1, 4, leaf))), nullptr},  // 1024
      {"[" + tag + "," + repeats(1, 16, repeats(1, 16, repeats(1, 4, leaf))).substr(1),
       "AST: applied-mutation budget exceeded (max 1024)"},
      // Both branches of an "if" count.
      {repeats(1, 16,
               repeats(1, 16,
                       repeats(1, 2,
                               R"([{"type":"if","condition":{"type":"or","conditions":[]},"then":)" + leaf +
                                   R"(,"else":)" + leaf + "}]"))),
       nullptr},
      {repeats(1, 16,
               repeats(1, 16,
                       repeats(1, 2,
                               R"([{"type":"if","condition":{"type":"or","conditions":[]},"then":)" + leaf +
                                   R"(,"else":[)" + tag + "," + kSetHp + "]}]"))),
       "AST: applied-mutation budget exceeded (max 1024)"},
  });
  // Every degree counts, though only one runs.
  const std::string half = repeats(1, 16, repeats(1, 16, repeats(1, 2, leaf)));
  expect_check_cases({
      {check(R"({"type":"literal","value":1})", R"({"a":{"condition":)" + std::string(kTrue) + R"(,"mutations":)" +
                                                    half + R"(},"b":{"condition":)" + kTrue + R"(,"mutations":)" +
                                                    half + "}}"),
       nullptr},
      {check(R"({"type":"literal","value":1})", R"({"a":{"condition":)" + std::string(kTrue) + R"(,"mutations":)" +
                                                    half + R"(},"b":{"condition":)" + kTrue + R"(,"mutations":[)" +
                                                    tag + "," + half.substr(1) + "}}"),
       "AST: applied-mutation budget exceeded (max 1024)"},
  });
}

}  // namespace
}  // namespace kest::ruleset
