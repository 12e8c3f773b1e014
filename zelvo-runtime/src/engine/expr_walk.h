// walk_exprs: every expression of a policy, for the passes that derive an
// engine's tables from it (the fields it reads, its literals' values).
//
// Contracts:
//   - Reads the policy only. Calls visit(const IRExpr&) once for every
//     expression node, a node before the expressions inside it: rule
//     conditions, verdict messages, action arguments, decision trees
//     (subjects, case guards, leaves and verdict leaves' messages) and
//     state machine guards, in policy order.
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

  void expr(const IRExpr& e) {
    visit_(e);
    std::visit([this](const auto& alt) { inner(alt); }, e.v);
  }
  void expr(const Box<IRExpr>& e) { expr(*e); }
  void verdict(const IRVerdict& v) {
    if (v.message) expr(*v.message);
  }

 private:
  void node(const DecisionNode& n) {
    std::visit([this](const auto& alt) { inner(alt); }, n.v);
  }

  void inner(const IRExpr::Literal&) {}
  void inner(const IRExpr::Ref&) {}
  void inner(const IRExpr::Binary& e) {
    expr(e.left);
    expr(e.right);
  }
  void inner(const IRExpr::Unary& e) { expr(e.operand); }
  void inner(const IRExpr::Predicate& e) {
    expr(e.subject);
    expr(e.argument);
  }
  void inner(const IRExpr::Quantifier& e) {
    expr(e.collection);
    expr(e.body);
  }
  void inner(const IRExpr::Count& e) {
    expr(e.collection);
    if (e.filter) expr(*e.filter);
  }
  void inner(const IRExpr::Call& e) {
    for (const IRExpr& arg : e.args) expr(arg);
  }
  void inner(const IRExpr::MethodCall& e) {
    expr(e.object);
    for (const IRExpr& arg : e.args) expr(arg);
  }
  void inner(const IRExpr::DecisionTree& e) { node(*e.node); }
  void inner(const IRExpr::List& e) {
    for (const IRExpr& item : e.items) expr(item);
  }

  void inner(const DecisionNode::Switch& n) {
    expr(n.subject);
    for (const DecisionCase& c : n.cases) {
      if (const auto* guard = std::get_if<CaseTest::Guard>(&c.test.v)) expr(guard->expr);
      node(c.body);
    }
    if (n.default_) node(**n.default_);
  }
  void inner(const DecisionNode::Leaf& n) { expr(n.expr); }
  void inner(const DecisionNode::VerdictLeaf& n) { verdict(n.verdict); }

  Visit& visit_;
};

template <typename Visit>
void walk_exprs(const CompiledPolicy& policy, Visit&& visit) {
  ExprWalker<std::remove_reference_t<Visit>> walk(visit);
  for (const CompiledRule& rule : policy.rules) {
    if (rule.condition) walk.expr(*rule.condition);
    for (const IRVerdict& v : rule.verdicts) walk.verdict(v);
    for (const IRAction& action : rule.actions) {
      for (const auto& [name, arg] : action.args) walk.expr(arg);
    }
  }
  for (const StateMachine& machine : policy.state_machines) {
    for (const Transition& t : machine.transitions) {
      if (t.guard.expr) walk.expr(*t.guard.expr);
    }
  }
}

}  // namespace zelvo
