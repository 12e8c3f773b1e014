#include "engine/field_use.h"

#include "event/event.h"
#include "event/value.h"

namespace zelvo {

// Walks every expression of a policy, noting the event fields it names and
// numbering its event references. Recursion follows expression nesting,
// which the decoder bounds.
class FieldUseCollector {
 public:
  explicit FieldUseCollector(FieldUse& use) : use_(use) {}

  void expr(IRExpr& e) {
    std::visit([this](auto& alt) { visit(alt); }, e.v);
  }
  void expr(Box<IRExpr>& e) { expr(*e); }
  void node(DecisionNode& n) {
    std::visit([this](auto& alt) { visit(alt); }, n.v);
  }
  void verdict(IRVerdict& v) {
    if (v.message) expr(*v.message);
  }

 private:
  void visit(IRExpr::Literal&) {}
  void visit(IRExpr::Ref& e) {
    e.path.field_slot = kNoFieldSlot;
    if (e.path.root.kind != RefRoot::Kind::Event) return;
    if (e.path.fields.empty()) {
      use_.all_ = true;
      return;
    }
    Value& number = use_.names_.slot(e.path.fields.front().view());
    if (number.is_null()) number = Value::integer(static_cast<std::int64_t>(use_.names_.size() - 1));
    e.path.field_slot = static_cast<std::uint32_t>(number.as_int());
  }
  void visit(IRExpr::Binary& e) {
    expr(e.left);
    expr(e.right);
  }
  void visit(IRExpr::Unary& e) { expr(e.operand); }
  void visit(IRExpr::Predicate& e) {
    expr(e.subject);
    expr(e.argument);
  }
  void visit(IRExpr::Quantifier& e) {
    expr(e.collection);
    expr(e.body);
  }
  void visit(IRExpr::Count& e) {
    expr(e.collection);
    if (e.filter) expr(*e.filter);
  }
  void visit(IRExpr::Call& e) {
    for (IRExpr& arg : e.args) expr(arg);
  }
  void visit(IRExpr::MethodCall& e) {
    expr(e.object);
    for (IRExpr& arg : e.args) expr(arg);
  }
  void visit(IRExpr::DecisionTree& e) { node(*e.node); }
  void visit(IRExpr::List& e) {
    for (IRExpr& item : e.items) expr(item);
  }

  void visit(DecisionNode::Switch& n) {
    expr(n.subject);
    for (DecisionCase& c : n.cases) {
      if (auto* guard = std::get_if<CaseTest::Guard>(&c.test.v)) expr(guard->expr);
      node(c.body);
    }
    if (n.default_) node(**n.default_);
  }
  void visit(DecisionNode::Leaf& n) { expr(n.expr); }
  void visit(DecisionNode::VerdictLeaf& n) { verdict(n.verdict); }

  FieldUse& use_;
};

FieldUse FieldUse::of(CompiledPolicy& policy) {
  FieldUse use;
  FieldUseCollector collect(use);
  for (CompiledRule& rule : policy.rules) {
    if (rule.condition) collect.expr(*rule.condition);
    for (IRVerdict& v : rule.verdicts) collect.verdict(v);
    for (IRAction& action : rule.actions) {
      for (auto& [name, arg] : action.args) collect.expr(arg);
    }
  }
  for (StateMachine& machine : policy.state_machines) {
    for (Transition& t : machine.transitions) {
      if (t.guard.expr) collect.expr(*t.guard.expr);
    }
  }
  return use;
}

std::optional<std::uint32_t> FieldUse::number_of(std::string_view field) const noexcept {
  const Value* number = names_.find(field);
  if (number == nullptr) return std::nullopt;
  return static_cast<std::uint32_t>(number->as_int());
}

void FieldUse::locate(const ValueMap& fields, std::span<std::uint32_t> positions) const noexcept {
  for (std::uint32_t& pos : positions) pos = kNoFieldPosition;
  std::uint32_t at = 0;
  for (const MapEntry& entry : fields) {
    const std::optional<std::uint32_t> number = number_of(entry.key.view());
    if (number && *number < positions.size()) positions[*number] = at;
    ++at;
  }
}

}  // namespace zelvo
