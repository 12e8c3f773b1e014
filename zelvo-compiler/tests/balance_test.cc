// Balanced chains keep their value: over random chains and random events,
// the balanced tree the compiler emits evaluates exactly like the chain
// folded from the left as written (built here from the same operands).
// And chains that may meet a Float are never balanced.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "compiler.h"
#include "eval/eval.h"
#include "event/event.h"
#include "test_support.h"

namespace zelvo::lang {
namespace {

using testing::brief;

// The operands of a chain of `op`, in order, from a tree of that operator.
void leaves(const IRExpr& e, BinaryOp op, std::vector<const IRExpr*>& out) {
  if (const auto* b = std::get_if<IRExpr::Binary>(&e.v); b != nullptr && b->op == op) {
    leaves(*b->left, op, out);
    leaves(*b->right, op, out);
    return;
  }
  out.push_back(&e);
}

IRExpr left_fold(const std::vector<const IRExpr*>& xs, BinaryOp op) {
  IRExpr acc = *xs[0];
  for (std::size_t i = 1; i < xs.size(); ++i) {
    acc = IRExpr::Binary{op, Box<IRExpr>(std::move(acc)), Box<IRExpr>(IRExpr(*xs[i]))};
  }
  return acc;
}

int tree_height(const IRExpr& e) {
  if (const auto* b = std::get_if<IRExpr::Binary>(&e.v)) return 1 + std::max(tree_height(*b->left), tree_height(*b->right));
  return 0;
}

Value random_value(std::mt19937& rng) {
  switch (rng() % 9) {
    case 0: return Value();
    case 1: return Value::boolean(rng() % 2 == 0);
    case 2: return Value::integer(static_cast<std::int64_t>(rng() % 3));
    case 3: return Value::integer(INT64_MAX - static_cast<std::int64_t>(rng() % 2));
    case 4: return Value::floating(rng() % 2 == 0 ? 0.0 : 0.1);
    case 5: return Value::string(Str(rng() % 2 == 0 ? "" : "ab"));
    case 6: return Value::duration(rng() % 2);
    case 7: return Value::list({Value::integer(1)});
    default: return Value::integer(-1);
  }
}

struct Family {
  const char* name;
  const char* op_text;
  BinaryOp op;
  std::vector<std::string> operands;
};

const Family kFamilies[] = {
    {"Or", " or ", BinaryOp::Or,
     {"event.f0", "event.f1", "not event.f2", "event.f3 == 1", "false", "0", "\"\"", "event.f4.len()"}},
    {"And", " and ", BinaryOp::And,
     {"event.f0", "event.f1", "not event.f2", "event.f3 != 1", "true", "1", "\"x\"", "[event.f4]"}},
    {"AddFloatFree", " + ", BinaryOp::Add,
     {"1", "9223372036854775807", "\"a\"", "\"\"", "len(event.f0)", "str(event.f1)", "event.f2.len()",
      "event.f3.keys()", "true", "5m", "(2 - len(event.f4))", "-3", "[1]"}},
    {"MulFloatFree", " * ", BinaryOp::Mul,
     {"3", "-1", "9223372036854775807", "len(event.f0)", "event.f1.length()", "\"a\"", "(7 / len(event.f2))",
      "(len(event.f3) % 3)"}},
};

class Balance : public ::testing::TestWithParam<Family> {};

TEST_P(Balance, BalancedChainEvaluatesLikeTheLeftFold) {
  const Family& f = GetParam();
  std::mt19937 rng(20261208);
  for (int round = 0; round < 60; ++round) {
    const std::size_t n = 70 + rng() % 200;  // always too deep as written
    std::string expr;
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) expr += f.op_text;
      expr += f.operands[rng() % f.operands.size()];
    }
    const CompileResult r = compile(std::string(testing::kHeader) + "rule 1 { log(v: " + expr + ") }", "t.zelvo");
    ASSERT_TRUE(r.policy) << brief(r.diagnostics);
    const IRExpr& balanced = *r.policy->rules[0].actions[0].args[0].second;
    std::vector<const IRExpr*> xs;
    leaves(balanced, f.op, xs);
    ASSERT_EQ(xs.size(), n);
    EXPECT_LE(tree_height(balanced), 10);
    const IRExpr folded = left_fold(xs, f.op);
    for (int e = 0; e < 20; ++e) {
      Event event;
      event.event_type = Str("t");
      for (int k = 0; k < 5; ++k) event.fields.insert_or_assign(Str("f" + std::to_string(k)), random_value(rng));
      const ValueMap empty;
      const EvalContext ctx{event, empty, empty};
      const Value a = eval_expr(balanced, ctx);
      const Value b = eval_expr(folded, ctx);
      ASSERT_EQ(a.kind(), b.kind()) << expr;
      ASSERT_TRUE(a.is_null() || deep_equals(a, b)) << display(a) << " vs " << display(b) << "\n" << expr;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, Balance, ::testing::ValuesIn(kFamilies),
                         [](const auto& info) { return std::string(info.param.name); });

struct Unbalanced {
  const char* name;
  std::string operand;  // makes a 100-operand chain that must not be balanced
  const char* op_text;
};

class NotBalanced : public ::testing::TestWithParam<Unbalanced> {};

TEST_P(NotBalanced, ChainThatMayMeetAFloatStaysTooDeep) {
  const Unbalanced& u = GetParam();
  std::string expr = "1";
  for (int i = 0; i < 100; ++i) expr += u.op_text + u.operand;
  const CompileResult r = compile(std::string(testing::kHeader) + "rule 1 { when " + expr + " }", "t.zelvo");
  ASSERT_FALSE(r.diagnostics.empty());
  EXPECT_EQ(r.diagnostics[0].code, "expression-too-deep");
}

const Unbalanced kUnbalanced[] = {
    {"AddFloat", "1.5", " + "},
    {"AddRef", "event.a", " + "},
    {"AddMapMethod", "event.a.trim()", " + "},
    {"AddMinMax", "min(1, 2)", " + "},
    {"AddAbs", "abs(1)", " + "},
    {"AddDecision", "decide { 1 }", " + "},
    {"MulRef", "event.a", " * "},
    {"Sub", "1", " - "},
    {"Div", "1", " / "},
    {"Mod", "1", " % "},
    {"Implies", "true", " implies "},
};

INSTANTIATE_TEST_SUITE_P(All, NotBalanced, ::testing::ValuesIn(kUnbalanced),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Balance, ChainsThatFitKeepTheirShape) {
  std::string expr = "event.a";
  for (int i = 0; i < 59; ++i) expr += " or event.a";
  const CompileResult r = compile(std::string(testing::kHeader) + "rule 1 { when " + expr + " }", "t.zelvo");
  ASSERT_TRUE(r.policy) << brief(r.diagnostics);
  EXPECT_EQ(tree_height(*r.policy->rules[0].condition), 59);
}

}  // namespace
}  // namespace zelvo::lang
