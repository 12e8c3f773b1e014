#include "engine/field_use.h"

#include "event/value.h"

namespace zelvo {

// Walks every expression of a policy, noting the event fields it names.
// Recursion follows expression nesting, which the decoder bounds.
class FieldUseCollector {
 public:
  explicit FieldUseCollector(FieldUse& use) : use_(use) {}

  void expr(const IRExpr& e) {
    if (use_.all_) return;
    std::visit([this](const auto& alt) { visit(alt); }, e.v);
  }
  void expr(const Box<IRExpr>& e) { expr(*e); }
  void node(const DecisionNode& n) {
    std::visit([this](const auto& alt) { visit(alt); }, n.v);
  }
  void verdict(const IRVerdict& v) {
    if (v.message) expr(*v.message);
  }

 private:
  void visit(const IRExpr::Literal&) {}
  void visit(const IRExpr::Ref& e) {
    if (e.path.root.kind != RefRoot::Kind::Event) return;
    if (e.path.fields.empty()) {
      use_.all_ = true;
    } else {
      use_.names_.slot(e.path.fields.front().view());
    }
  }
  void visit(const IRExpr::Binary& e) {
    expr(e.left);
    expr(e.right);
  }
  void visit(const IRExpr::Unary& e) { expr(e.operand); }
  void visit(const IRExpr::Predicate& e) {
    expr(e.subject);
    expr(e.argument);
  }
  void visit(const IRExpr::Quantifier& e) {
    expr(e.collection);
    expr(e.body);
  }
  void visit(const IRExpr::Count& e) {
    expr(e.collection);
    if (e.filter) expr(*e.filter);
  }
  void visit(const IRExpr::Call& e) {
    for (const IRExpr& arg : e.args) expr(arg);
  }
  void visit(const IRExpr::MethodCall& e) {
    expr(e.object);
    for (const IRExpr& arg : e.args) expr(arg);
  }
  void visit(const IRExpr::DecisionTree& e) { node(*e.node); }
  void visit(const IRExpr::List& e) {
    for (const IRExpr& item : e.items) expr(item);
  }

  void visit(const DecisionNode::Switch& n) {
    expr(n.subject);
    for (const DecisionCase& c : n.cases) {
      if (const auto* guard = std::get_if<CaseTest::Guard>(&c.test.v)) expr(guard->expr);
      node(c.body);
    }
    if (n.default_) node(**n.default_);
  }
  void visit(const DecisionNode::Leaf& n) { expr(n.expr); }
  void visit(const DecisionNode::VerdictLeaf& n) { verdict(n.verdict); }

  FieldUse& use_;
};

FieldUse FieldUse::of(const CompiledPolicy& policy) {
  FieldUse use;
  FieldUseCollector collect(use);
  for (const CompiledRule& rule : policy.rules) {
    if (rule.condition) collect.expr(*rule.condition);
    for (const IRVerdict& v : rule.verdicts) collect.verdict(v);
    for (const IRAction& action : rule.actions) {
      for (const auto& [name, arg] : action.args) collect.expr(arg);
    }
  }
  for (const StateMachine& machine : policy.state_machines) {
    for (const Transition& t : machine.transitions) {
      if (t.guard.expr) collect.expr(*t.guard.expr);
    }
  }
  return use;
}

}  // namespace zelvo
