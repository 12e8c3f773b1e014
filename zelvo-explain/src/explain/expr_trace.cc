#include "explain/expr_trace.h"

#include <variant>

#include "emit/printer.h"

namespace zelvo::explain {
namespace {

class Tracer {
 public:
  Tracer(const EvalContext& ctx, std::vector<ExprStep>& out) : ctx_(ctx), out_(out) {}

  // Records `e` and its children; `decisive` and `bound` come from the parent.
  void expr(const IRExpr& e, std::uint32_t depth, bool decisive, bool bound) {
    const std::size_t at = out_.size();
    ExprStep& step = out_.emplace_back();
    step.index = static_cast<std::uint32_t>(at);
    step.depth = depth;
    step.text = names_.empty() ? lang::print_expr_source(e) : lang::print_expr_source(e, 0, names_.back());
    step.decisive = decisive;
    if (!bound) step.value = eval_expr(e, ctx_);
    if (const auto* q = std::get_if<IRExpr::Quantifier>(&e.v)) {
      elements(out_[at], *q->collection, q->param.view(), &q->body.get(), bound, q->kind);
    } else if (const auto* c = std::get_if<IRExpr::Count>(&e.v); c != nullptr && c->filter) {
      elements(out_[at], *c->collection, c->param ? c->param->view() : std::string_view(), &c->filter->get(), bound,
               std::nullopt);
    }
    std::visit([&](const auto& alt) { inner(alt, depth + 1, decisive, bound); }, e.v);
  }

 private:
  bool truth(const IRExpr& e) const { return eval_truth(e, ctx_); }

  void inner(const IRExpr::Literal&, std::uint32_t, bool, bool) {}
  void inner(const IRExpr::Ref&, std::uint32_t, bool, bool) {}
  void inner(const IRExpr::Binary& e, std::uint32_t depth, bool decisive, bool bound) {
    bool left = decisive;
    bool right = decisive;
    if (decisive && !bound) {
      const bool l = truth(*e.left);
      switch (e.op) {
        case BinaryOp::And:
          right = l;  // a falsy left decides alone
          break;
        case BinaryOp::Or:
          right = !l;  // a truthy left decides alone
          break;
        case BinaryOp::Implies:
          if (!l) {
            right = false;  // a falsy left makes it true alone
          } else if (truth(*e.right)) {
            left = false;  // a truthy right makes it true alone
          }
          break;
        default:
          break;
      }
    }
    expr(*e.left, depth, left, bound);
    expr(*e.right, depth, right, bound);
  }
  void inner(const IRExpr::Unary& e, std::uint32_t depth, bool decisive, bool bound) {
    expr(*e.operand, depth, decisive, bound);
  }
  void inner(const IRExpr::Predicate& e, std::uint32_t depth, bool decisive, bool bound) {
    expr(*e.subject, depth, decisive, bound);
    expr(*e.argument, depth, decisive, bound);
  }
  void inner(const IRExpr::Quantifier& e, std::uint32_t depth, bool decisive, bool bound) {
    expr(*e.collection, depth, decisive, bound);
    names_.emplace_back(e.param.view());
    expr(*e.body, depth, false, true);
    names_.pop_back();
  }
  void inner(const IRExpr::Count& e, std::uint32_t depth, bool decisive, bool bound) {
    expr(*e.collection, depth, decisive, bound);
    if (e.filter) {
      names_.emplace_back(e.param ? e.param->view() : std::string_view());
      expr(**e.filter, depth, false, true);
      names_.pop_back();
    }
  }

  // The elements a quantifier (kind given) or a count's filter visits, as
  // the evaluator visits them: a quantifier stops at the first body value
  // that decides it.
  void elements(ExprStep& step, const IRExpr& collection, std::string_view param, const IRExpr* body, bool bound,
                std::optional<QuantifierKind> kind) {
    step.binds = std::string(param);
    if (bound || body == nullptr) return;
    const Value items = eval_expr(collection, ctx_);
    if (!items.is_list()) return;
    for (const Value& element : items.as_list()) {
      Value value = eval_expr(*body, ctx_.with_local0(element));
      const bool truth = truthy(value);
      ++step.visited;
      if (step.elements.size() < kMaxElements) step.elements.push_back({element, std::move(value)});
      if (kind && truth == (*kind != QuantifierKind::All)) break;
    }
  }
  void inner(const IRExpr::Call& e, std::uint32_t depth, bool decisive, bool bound) {
    for (const IRExpr& arg : e.args) expr(arg, depth, decisive, bound);
  }
  void inner(const IRExpr::MethodCall& e, std::uint32_t depth, bool decisive, bool bound) {
    expr(*e.object, depth, decisive, bound);
    for (const IRExpr& arg : e.args) expr(arg, depth, decisive, bound);
  }
  void inner(const IRExpr::List& e, std::uint32_t depth, bool decisive, bool bound) {
    for (const IRExpr& item : e.items) expr(item, depth, decisive, bound);
  }
  void inner(const IRExpr::DecisionTree& e, std::uint32_t depth, bool decisive, bool bound) {
    node(*e.node, depth, decisive, bound);
  }

  // Only a switch's subject decides a tree; its guards and leaves are
  // recorded with their values.
  void node(const DecisionNode& n, std::uint32_t depth, bool decisive, bool bound) {
    if (const auto* sw = std::get_if<DecisionNode::Switch>(&n.v)) {
      expr(*sw->subject, depth, decisive, bound);
      for (const DecisionCase& c : sw->cases) {
        if (const auto* guard = std::get_if<CaseTest::Guard>(&c.test.v)) expr(*guard->expr, depth, false, bound);
        node(c.body, depth, false, bound);
      }
      if (sw->default_) node(**sw->default_, depth, false, bound);
    } else if (const auto* leaf = std::get_if<DecisionNode::Leaf>(&n.v)) {
      expr(*leaf->expr, depth, false, bound);
    } else if (const auto* verdict = std::get_if<DecisionNode::VerdictLeaf>(&n.v)) {
      if (verdict->verdict.message) expr(**verdict->verdict.message, depth, false, bound);
    }
  }

  const EvalContext& ctx_;
  std::vector<ExprStep>& out_;
  // The names bound by the enclosing quantifiers and counts, innermost last.
  std::vector<std::string> names_;
};

}  // namespace

std::vector<ExprStep> trace_expr(const IRExpr& root, const EvalContext& ctx) {
  std::vector<ExprStep> out;
  Tracer(ctx, out).expr(root, 0, true, false);
  return out;
}

}  // namespace zelvo::explain
