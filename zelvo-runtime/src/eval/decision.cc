// Decision trees: Leaf, VerdictLeaf and Switch with its three case tests.
//
// A Switch evaluates its subject once, takes the first case whose test
// holds and evaluates only that case's body; with no case taken it falls to
// the default node, or gives Null. Recursion depth follows the tree's
// nesting, which the decoder bounds.
#include "eval/eval.h"
#include "eval/operand.h"

namespace zelvo {
namespace {

bool literal_test(const CaseTest::Literal& t, const Value& subject) {
  return loose_equals(subject, literal_value(t.value));
}

// A string subject is compared directly; a map subject through its "type"
// entry, so that a Switch over the whole event selects by event type.
bool constructor_test(const CaseTest::Constructor& t, const Value& subject) noexcept {
  if (const Str* text = as_text(subject)) return *text == t.name;
  if (!subject.is_map()) return false;
  const Value* type = subject.as_map().find("type");
  const Str* type_text = type != nullptr ? as_text(*type) : nullptr;
  return type_text != nullptr && *type_text == t.name;
}

bool guard_test(const CaseTest::Guard& t, const EvalContext& ctx) { return truthy(eval_expr(*t.expr, ctx)); }

bool case_holds(const CaseTest& test, const Value& subject, const EvalContext& ctx) {
  switch (test.kind()) {
    case CaseTest::Kind::Literal: return literal_test(*std::get_if<CaseTest::Literal>(&test.v), subject);
    case CaseTest::Kind::Constructor:
      return constructor_test(*std::get_if<CaseTest::Constructor>(&test.v), subject);
    case CaseTest::Kind::Guard: return guard_test(*std::get_if<CaseTest::Guard>(&test.v), ctx);
  }
  return false;
}

Value eval_switch(const DecisionNode::Switch& node, const EvalContext& ctx) {
  const eval::Operand subject = eval::eval_operand(*node.subject, ctx);
  for (const DecisionCase& c : node.cases) {
    if (case_holds(c.test, subject.get(), ctx)) return eval_decision(c.body, ctx);
  }
  if (node.default_.has_value()) return eval_decision(**node.default_, ctx);
  return Value();
}

// The verdict's name; its message is not evaluated.
Value eval_verdict_leaf(const DecisionNode::VerdictLeaf& node) {
  return Value::string(Str(to_name(node.verdict.verdict)));
}

}  // namespace

Value eval_decision(const DecisionNode& node, const EvalContext& ctx) {
  switch (node.kind()) {
    case DecisionNode::Kind::Switch: return eval_switch(*std::get_if<DecisionNode::Switch>(&node.v), ctx);
    case DecisionNode::Kind::Leaf: return eval_expr(*std::get_if<DecisionNode::Leaf>(&node.v)->expr, ctx);
    case DecisionNode::Kind::VerdictLeaf:
      return eval_verdict_leaf(*std::get_if<DecisionNode::VerdictLeaf>(&node.v));
  }
  return Value();
}

}  // namespace zelvo
