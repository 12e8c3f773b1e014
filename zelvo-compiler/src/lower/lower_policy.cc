#include "lower/lower_policy.h"

#include <optional>
#include <utility>

#include "lower/lower.h"
#include "lower/states.h"
#include "syntax/after_form.h"

namespace zelvo::lang {

namespace {

// A span with only offset and length; lines and columns are filled for
// all spans at once (fill_positions).
Span span_of(Extent e) {
  Span s;
  s.offset = e.offset;
  s.length = e.length;
  return s;
}

class Lowering {
 public:
  Lowering(const Source& source, DiagnosticSink& sink, bool keep_spans)
      : source_(source), sink_(sink), keep_spans_(keep_spans) {}

  void rule(RuleSyntax& syntax, LoweredPolicy& out) {
    CompiledRule& rule = out.policy.rules.emplace_back(std::move(syntax.head));
    rule.verdicts.reserve(syntax.verdicts.size());
    rule.actions.reserve(syntax.actions.size());
    SourceMap::Rule* where = nullptr;
    if (keep_spans_) {
      where = &out.source_map.rules.emplace_back();
      where->span = span_of(syntax.extent);
      where->verdicts.reserve(syntax.verdicts.size());
      where->actions.reserve(syntax.actions.size());
    }
    for (const AstPtr& condition : syntax.conditions) {
      if (where != nullptr) where->condition.clear();
      if (auto e = expr(*condition, Place::Condition, where ? &where->condition : nullptr)) {
        rule.condition = std::move(*e);
      }
    }
    for (const VerdictSyntax& v : syntax.verdicts) {
      IRVerdict& verdict = rule.verdicts.emplace_back();
      std::vector<Span>* spans = where ? &where->verdicts.emplace_back() : nullptr;
      verdict.verdict = v.verdict;
      if (!v.message) continue;
      if (auto e = expr(*v.message, Place::Message, spans)) verdict.message = Box<IRExpr>(std::move(*e));
    }
    for (const ActionSyntax& a : syntax.actions) {
      IRAction& action = rule.actions.emplace_back();
      std::vector<std::vector<Span>>* arg_spans = where ? &where->actions.emplace_back() : nullptr;
      action.verb = a.verb;
      action.args.reserve(a.args.size());
      if (arg_spans != nullptr) arg_spans->reserve(a.args.size());
      for (const ActionSyntax::Arg& arg : a.args) {
        if (auto e = expr(*arg.value, Place::ActionArg, arg_spans ? &arg_spans->emplace_back() : nullptr)) {
          action.args.emplace_back(Str(arg.name), Box<IRExpr>(std::move(*e)));
        }
      }
    }
  }

  void machine(MachineSyntax& syntax, LoweredPolicy& out) {
    StateMachine& m = out.policy.state_machines.emplace_back(std::move(syntax.head));
    SourceMap::Machine& where = out.source_map.machines.emplace_back();
    where.span = span_of(syntax.extent);
    if (syntax.after_form) {
      after_form(*syntax.after_form, m, where);
      return;
    }
    for (Extent e : syntax.states) where.states.push_back(span_of(e));
    for (const TransitionSyntax& t : syntax.transitions) {
      Transition& tr = m.transitions.emplace_back();
      tr.guard.kind = t.guard;
      where.transitions.push_back(span_of(t.extent));
      std::vector<Span>& spans = where.guards.emplace_back();
      if (!t.predicate) continue;
      if (auto e = expr(*t.predicate, Place::Guard, &spans)) tr.guard.expr = Box<IRExpr>(std::move(*e));
    }
    m.accepting_states.assign(syntax.accepting, 0);
    m.violating_states.assign(syntax.violating, 0);
    resolve_states(syntax.refs, m, sink_);
  }

 private:
  std::optional<IRExpr> expr(Ast& ast, Place place, std::vector<Span>* spans) {
    return lower_expr(ast, place, source_, sink_, spans);
  }

  // The machine an `after` form stands for: three active states, "before"
  // (initial), "after" and "denying" (the violating one), and the
  // transitions before -> after when X, after -> denying and denying ->
  // denying, both when Y (or always). Every later Y re-enters the violating
  // state, so each one reports and is denied. The printer gives the form
  // back for exactly this shape (print_policy.cc).
  void after_form(const AfterFormSyntax& form, StateMachine& m, SourceMap::Machine& where) {
    std::vector<Span> x_spans;
    std::optional<IRExpr> x;
    if (form.armed) x = expr(*form.armed, Place::Guard, &x_spans);
    std::vector<Span> y_spans;
    std::optional<IRExpr> y;
    if (form.denied) y = expr(*form.denied, Place::Guard, &y_spans);
    const Span after_span = span_of(form.after);
    const Span deny_span = span_of(form.deny);
    for (std::uint32_t i = 0; i < kAfterFormLabels.size(); ++i) {
      State s;
      s.id = i;
      s.label = Str(kAfterFormLabels[i]);
      m.states.push_back(std::move(s));
      where.states.push_back(i < 2 ? after_span : deny_span);
    }
    m.violating_states.push_back(2);
    Transition armed;
    armed.from = 0;
    armed.to = 1;
    armed.guard.kind = TransitionGuard::Kind::Predicate;
    if (x) armed.guard.expr = Box<IRExpr>(std::move(*x));
    m.transitions.push_back(std::move(armed));
    where.transitions.push_back(after_span);
    where.guards.push_back(std::move(x_spans));
    const bool every = !form.denied;
    for (std::uint32_t from : {1u, 2u}) {
      Transition deny;
      deny.from = from;
      deny.to = 2;
      deny.guard.kind = every ? TransitionGuard::Kind::Always : TransitionGuard::Kind::Predicate;
      if (y) deny.guard.expr = Box<IRExpr>(*y);
      m.transitions.push_back(std::move(deny));
      where.transitions.push_back(deny_span);
      where.guards.push_back(y_spans);
    }
  }

  const Source& source_;
  DiagnosticSink& sink_;
  bool keep_spans_;
};

}  // namespace

LoweredPolicy lower_policy(PolicySyntax&& file, const Source& source, DiagnosticSink& sink, bool keep_spans) {
  LoweredPolicy out;
  out.policy = std::move(file.head);
  Lowering lowering(source, sink, keep_spans);
  out.policy.rules.reserve(file.rules.size());
  if (keep_spans) out.source_map.rules.reserve(file.rules.size());
  for (RuleSyntax& r : file.rules) lowering.rule(r, out);
  if (keep_spans) {
    for (Extent e : file.constraints) out.source_map.constraints.push_back(span_of(e));
  }
  for (MachineSyntax& m : file.machines) lowering.machine(m, out);
  if (!keep_spans) out.source_map = {};
  return out;
}

}  // namespace zelvo::lang
