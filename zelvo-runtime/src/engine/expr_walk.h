// walk_exprs: every expression of a policy, for the passes that prepare a
// policy for its engine (numbering field references, building literal
// values).
//
// Contracts:
//   - Calls visit(IRExpr&) once for every expression node, a node before
//     the expressions inside it: rule conditions, verdict messages, action
//     arguments, decision trees (subjects, case guards, leaves and verdict
//     leaves' messages) and state machine guards, in policy order.
//   - Recursion follows expression nesting, which the decoder bounds.
#pragma once

#include <utility>
#include <variant>

#include "model/policy.h"

namespace zelvo {

template <typename Visit>
class ExprWalker {
 public:
  explicit ExprWalker(Visit& visit) : visit_(visit) {}

  void expr(IRExpr& e) {
    visit_(e);
    std::visit([this](auto& alt) { inner(alt); }, e.v);
  }
  void expr(Box<IRExpr>& e) { expr(*e); }
  void verdict(IRVerdict& v) {
    if (v.message) expr(*v.message);
  }

 private:
  void node(DecisionNode& n) {
    std::visit([this](auto& alt) { inner(alt); }, n.v);
  }

  void inner(IRExpr::Literal&) {}
  void inner(IRExpr::Ref&) {}
  void inner(IRExpr::Binary& e) {
    expr(e.left);
    expr(e.right);
  }
  void inner(IRExpr::Unary& e) { expr(e.operand); }
  void inner(IRExpr::Predicate& e) {
    expr(e.subject);
    expr(e.argument);
  }
  void inner(IRExpr::Quantifier& e) {
    expr(e.collection);
    expr(e.body);
  }
  void inner(IRExpr::Count& e) {
    expr(e.collection);
    if (e.filter) expr(*e.filter);
  }
  void inner(IRExpr::Call& e) {
    for (IRExpr& arg : e.args) expr(arg);
  }
  void inner(IRExpr::MethodCall& e) {
    expr(e.object);
    for (IRExpr& arg : e.args) expr(arg);
  }
  void inner(IRExpr::DecisionTree& e) { node(*e.node); }
  void inner(IRExpr::List& e) {
    for (IRExpr& item : e.items) expr(item);
  }

  void inner(DecisionNode::Switch& n) {
    expr(n.subject);
    for (DecisionCase& c : n.cases) {
      if (auto* guard = std::get_if<CaseTest::Guard>(&c.test.v)) expr(guard->expr);
      node(c.body);
    }
    if (n.default_) node(**n.default_);
  }
  void inner(DecisionNode::Leaf& n) { expr(n.expr); }
  void inner(DecisionNode::VerdictLeaf& n) { verdict(n.verdict); }

  Visit& visit_;
};

template <typename Visit>
void walk_exprs(CompiledPolicy& policy, Visit&& visit) {
  ExprWalker<std::remove_reference_t<Visit>> walk(visit);
  for (CompiledRule& rule : policy.rules) {
    if (rule.condition) walk.expr(*rule.condition);
    for (IRVerdict& v : rule.verdicts) walk.verdict(v);
    for (IRAction& action : rule.actions) {
      for (auto& [name, arg] : action.args) walk.expr(arg);
    }
  }
  for (StateMachine& machine : policy.state_machines) {
    for (Transition& t : machine.transitions) {
      if (t.guard.expr) walk.expr(*t.guard.expr);
    }
  }
}

}  // namespace zelvo
