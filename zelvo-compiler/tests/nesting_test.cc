// The compiler emits only what the engine loads: for each place an
// expression can go and for each kind of nesting, the deepest expression
// the compiler accepts decodes from its JSON form (written out by hand
// here) into the same records, and one level more is refused by both, the
// compiler with "expression-too-deep", the decoder with "recursion limit
// exceeded".
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "compiler.h"
#include "model/json_decoder.h"
#include "model_dump.h"
#include "test_support.h"

namespace zelvo::lang {
namespace {

using testing::brief;
using testing::dump;

// One kind of nesting: the source and the JSON of an expression n levels deep.
struct Shape {
  const char* name;
  std::function<std::string(int)> source;
  std::function<std::string(int)> json;
};

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

const std::string kRefA = R"({"Ref":{"root":"Event","fields":["a"]}})";

const Shape kShapes[] = {
    {"Not", [](int n) { return repeat("not ", n) + "event.a"; },
     [](int n) { return repeat(R"({"Unary":{"op":"Not","operand":)", n) + kRefA + repeat("}}", n); }},
    {"NegOfDuration", [](int n) { return repeat("-", n) + "5m"; },
     [](int n) {
       return repeat(R"({"Unary":{"op":"Neg","operand":)", n) +
              R"({"Literal":{"Duration":{"value":5,"unit":"Minutes"}}})" + repeat("}}", n);
     }},
    {"List", [](int n) { return repeat("[", n) + "1" + repeat("]", n); },
     [](int n) { return repeat(R"({"List":[)", n) + R"({"Literal":{"Int":1}})" + repeat("]}", n); }},
    {"Call", [](int n) { return repeat("len(", n) + "event.a" + repeat(")", n); },
     [](int n) { return repeat(R"({"Call":{"function":"len","args":[)", n) + kRefA + repeat("]}}", n); }},
    {"MethodCall", [](int n) { return "event.a" + repeat(".trim()", n); },
     [](int n) {
       std::string j = kRefA;
       for (int i = 0; i < n; ++i) j = R"({"MethodCall":{"object":)" + j + R"(,"method":"trim","args":[]}})";
       return j;
     }},
    {"Decide", [](int n) { return repeat("decide { ", n) + "event.a" + repeat(" }", n); },
     [](int n) { return repeat(R"({"DecisionTree":{"Leaf":)", n) + kRefA + repeat("}}", n); }},
    {"MatchGuard",
     [](int n) { return repeat("match event.a { case if ", n) + "event.a" + repeat(" => 1 }", n); },
     [](int n) {
       return repeat(R"({"DecisionTree":{"Switch":{"subject":)" + kRefA + R"(,"cases":[{"test":{"Guard":)", n) + kRefA +
              repeat(R"(},"body":{"Leaf":{"Literal":{"Int":1}}}}]}}})", n);
     }},
    {"Quantifier", [](int n) { return repeat("event.a.all(x, ", n) + "x" + repeat(")", n); },
     [](int n) {
       return repeat(R"({"Quantifier":{"kind":"All","collection":)" + kRefA + R"(,"param":"x","body":)", n) +
              R"({"Ref":{"root":{"Local":0},"fields":[]}})" + repeat("}}", n);
     }},
};

// A place for an expression: the source and the JSON of a policy holding it there.
struct Place {
  const char* name;
  std::function<std::string(const std::string&)> source;
  std::function<std::string(const std::string&)> json;
};

const std::string kJsonHead = R"({"name":"p","severity":"Low","scopes":[],)";
const std::string kJsonTail =
    R"("metadata":{"annotations":[],"source_hash":0,"compiler_version":"zelvo-compiler 0.1.0"}})";

const Place kPlaces[] = {
    {"Condition", [](const std::string& e) { return "policy p severity low\nrule 1 { when " + e + " }"; },
     [](const std::string& e) {
       return kJsonHead + R"("rules":[{"id":1,"on_events":[],"condition":)" + e +
              R"(,"verdicts":[],"actions":[]}],"constraints":[],"state_machines":[],)" + kJsonTail;
     }},
    {"Message", [](const std::string& e) { return "policy p severity low\nrule 1 { deny " + e + " }"; },
     [](const std::string& e) {
       return kJsonHead + R"("rules":[{"id":1,"on_events":[],"verdicts":[{"verdict":"Deny","message":)" + e +
              R"(}],"actions":[]}],"constraints":[],"state_machines":[],)" + kJsonTail;
     }},
    {"ActionArg", [](const std::string& e) { return "policy p severity low\nrule 1 { log(a: " + e + ") }"; },
     [](const std::string& e) {
       return kJsonHead + R"("rules":[{"id":1,"on_events":[],"verdicts":[],"actions":[{"verb":"Log","args":[["a",)" +
              e + R"(]]}]}],"constraints":[],"state_machines":[],)" + kJsonTail;
     }},
    {"Guard",
     [](const std::string& e) {
       return "policy p severity low\nmachine 1 m invariant i always { state s transition s -> s when " + e + " }";
     },
     [](const std::string& e) {
       return kJsonHead + R"("rules":[],"constraints":[],"state_machines":[{"id":1,"name":"m","invariant_name":"i",)" +
              R"("kind":"Always","states":[{"id":0,"label":"s","kind":"Active"}],"transitions":[{"from":0,"to":0,)" +
              R"("guard":{"Predicate":)" + e + R"(}}],"initial_state":0,"accepting_states":[],"violating_states":[]}],)" +
              kJsonTail;
     }},
};

class Nesting : public ::testing::TestWithParam<std::tuple<Shape, Place>> {};

TEST_P(Nesting, DeepestAcceptedExpressionLoadsAndOneMoreIsRefusedByBoth) {
  const auto& [shape, place] = GetParam();
  // The deepest n the compiler accepts.
  int n = 1;
  while (compile(place.source(shape.source(n + 1)), "t.zelvo").policy) ++n;
  ASSERT_GT(n, 1);
  const CompileResult accepted = compile(place.source(shape.source(n)), "t.zelvo");
  ASSERT_TRUE(accepted.policy);
  const auto decoded = parse_policy_json(place.json(shape.json(n)));
  ASSERT_TRUE(decoded) << decoded.error().message();
  EXPECT_EQ(dump(*accepted.policy), dump(decoded.value()));

  const CompileResult refused = compile(place.source(shape.source(n + 1)), "t.zelvo");
  ASSERT_FALSE(refused.diagnostics.empty());
  EXPECT_EQ(refused.diagnostics[0].code, "expression-too-deep") << brief(refused.diagnostics);
  const auto too_deep = parse_policy_json(place.json(shape.json(n + 1)));
  ASSERT_FALSE(too_deep);
  EXPECT_EQ(too_deep.error().what, "recursion limit exceeded");
}

INSTANTIATE_TEST_SUITE_P(AllPlaces, Nesting, ::testing::Combine(::testing::ValuesIn(kShapes), ::testing::ValuesIn(kPlaces)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "In" + std::get<1>(info.param).name;
                         });

TEST(NestingMessage, TooDeepIsReportedAtTheExpressionWithBothCounts) {
  const CompileResult r = compile("policy p severity low\nrule 1 { when " + repeat("not ", 61) + "event.a }", "t.zelvo");
  EXPECT_EQ(brief(r.diagnostics),
            "2:15 expression-too-deep: expression too deep to load: 125 nested levels in the compiled form, at most 124 "
            "fit here [split it into smaller expressions; long and/or chains are balanced automatically]");
}

}  // namespace
}  // namespace zelvo::lang
