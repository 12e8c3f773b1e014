// eval_truth gives truthy(eval_expr(...)) for every kind of expression, and
// `In` over a list expression gives what searching the built list gives.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eval_test_util.h"

namespace zelvo::test {
namespace {

using B = BinaryOp;
using P = PredicateKind;

Scope scope() {
  Scope s;
  s.event = make_event("t", {{"tool", str_value("shell")},
                             {"n", Value::integer(3)},
                             {"zero", Value::floating(0.0)},
                             {"tags", list_value({str_value("a"), str_value("pii"), Value::integer(1)})},
                             {"empty", list_value({})},
                             {"args", map_value({{"path", str_value("/etc/x")}})}});
  s.context.insert_or_assign(Str("owner"), str_value("alice"));
  s.config.insert_or_assign(Str("limit"), Value::integer(2));
  return s;
}

std::vector<IRExpr> expressions() {
  std::vector<IRExpr> out;
  const std::vector<IRExpr> leaves = [] {
    std::vector<IRExpr> l;
    l.push_back(event_ref({"tool"}));
    l.push_back(event_ref({"n"}));
    l.push_back(event_ref({"zero"}));
    l.push_back(event_ref({"missing"}));
    l.push_back(event_ref({"tags"}));
    l.push_back(event_ref({"empty"}));
    l.push_back(event_ref({}));
    l.push_back(context_ref({"owner"}));
    l.push_back(config_ref({"limit"}));
    l.push_back(lit_int(0));
    l.push_back(lit_int(1));
    l.push_back(lit_float(1.0));
    l.push_back(lit_str(""));
    l.push_back(lit_str("shell"));
    l.push_back(lit_bool(true));
    l.push_back(list({lit_str("shell"), lit_int(3)}));
    l.push_back(list({}));
    return l;
  }();
  for (const IRExpr& x : leaves) out.push_back(x);
  for (B op : {B::Add, B::Sub, B::Mul, B::Div, B::Mod, B::Eq, B::Neq, B::Lt, B::Le, B::Gt, B::Ge, B::In, B::And,
               B::Or, B::Implies}) {
    for (const IRExpr& l : leaves) {
      for (const IRExpr& r : leaves) out.push_back(binary(op, l, r));
    }
  }
  for (const IRExpr& x : leaves) {
    out.push_back(unary(UnaryOp::Not, x));
    out.push_back(unary(UnaryOp::Neg, x));
    for (P k : {P::Contains, P::StartsWith, P::EndsWith, P::Matches}) out.push_back(predicate(k, x, lit_str("s")));
    for (QuantifierKind k : {QuantifierKind::All, QuantifierKind::Any, QuantifierKind::None, QuantifierKind::Exists}) {
      out.push_back(quantifier(k, x, binary(B::Eq, local_ref(0), lit_str("pii"))));
    }
    out.push_back(count(x, local_ref(0)));
    out.push_back(method(x, "len"));
    out.push_back(call("len", {x}));
  }
  return out;
}

TEST(EvalTruth, AgreesWithTruthyOfTheValue) {
  const Scope s = scope();
  const EvalContext ctx = s.ctx();
  int n = 0;
  for (const IRExpr& e : expressions()) {
    EXPECT_EQ(eval_truth(e, ctx), truthy(eval_expr(e, ctx))) << "expression #" << n;
    ++n;
  }
}

// `In` with a list expression on the right: equality by operator rules
// (Int 3 equals Float 3.0), and the answer matches the built list's.
TEST(EvalTruth, InListExpressionMatchesTheBuiltList) {
  const Scope s = scope();
  const EvalContext ctx = s.ctx();
  struct Case { IRExpr needle; bool expected; };
  std::vector<Case> cases;
  cases.push_back({event_ref({"tool"}), true});
  cases.push_back({event_ref({"n"}), true});
  cases.push_back({lit_float(3.0), true});
  cases.push_back({lit_str("SHELL"), false});
  cases.push_back({event_ref({"missing"}), false});
  cases.push_back({event_ref({"tags"}), false});  // a list is equal to nothing
  const IRExpr items = list({lit_str("ls"), event_ref({"tool"}), lit_int(3)});
  for (const Case& c : cases) {
    const IRExpr in = binary(B::In, c.needle, items);
    EXPECT_EQ(eval_expr(in, ctx).as_bool(), c.expected);
    const Value built = eval_expr(items, ctx);
    bool found = false;
    for (const Value& v : built.as_list()) found = found || loose_equals(eval_expr(c.needle, ctx), v);
    EXPECT_EQ(found, c.expected);
  }
}

}  // namespace
}  // namespace zelvo::test
