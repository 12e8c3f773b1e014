#include "explain/explain.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "engine/actions.h"
#include "engine/constraint_window.h"
#include "engine/monitor.h"
#include "engine/rule_step.h"
#include "engine/verdict.h"

namespace zelvo::explain {
namespace {

// The span at `i` of `spans`, when the map has one there.
template <typename T>
std::optional<lang::Span> span_at(const std::vector<T>& items, std::size_t i, lang::Span T::*member) {
  if (i >= items.size()) return std::nullopt;
  return items[i].*member;
}

std::optional<lang::Span> span_at(const std::vector<lang::Span>& spans, std::size_t i) {
  if (i >= spans.size()) return std::nullopt;
  return spans[i];
}

// Attaches the condition spans when the map numbers exactly these nodes.
void attach_spans(std::vector<ExprStep>& steps, const std::vector<lang::Span>& spans) {
  if (spans.size() != steps.size()) return;
  for (ExprStep& step : steps) step.span = spans[step.index];
}

// Records a change of the running verdict or reason: `after` is the
// running result, `before` and `before_reason` what it held before the step.
void note(std::vector<Adoption>& out, Adoption::Source source, std::uint32_t position, std::uint32_t id,
          const EvalResult& after, Verdict before, const std::optional<Str>& before_reason) {
  const bool reason_changed = after.reason.has_value() != before_reason.has_value() ||
                              (after.reason && before_reason && after.reason->view() != before_reason->view());
  if (after.verdict == before && !reason_changed) return;
  Adoption a{source, position, id, after.verdict, std::nullopt};
  if (after.reason) a.reason = std::string(after.reason->view());
  out.push_back(std::move(a));
}

// The window step: the event's type is counted by the window of its target
// (a later constraint on one target replaces an earlier one).
void explain_windows(const PolicyEngine& engine, const Event& event, const lang::SourceMap* map, Explanation& x) {
  const auto& constraints = engine.policy().constraints;
  for (std::uint32_t i = 0; i < constraints.size(); ++i) {
    const CompiledConstraint& c = constraints[i];
    WindowTrace w;
    w.position = i;
    w.constraint = c;
    w.superseded = std::any_of(constraints.begin() + i + 1, constraints.end(),
                               [&](const CompiledConstraint& later) { return later.target.view() == c.target.view(); });
    w.counts_event = !w.superseded && c.target.view() == event.event_type.view();
    if (map != nullptr) w.span = span_at(map->constraints, i);
    const ConstraintWindow* live = engine.window(c.target.view());
    if (live != nullptr && !w.superseded) {
      if (w.counts_event) {
        ConstraintWindow copy = *live;
        const Verdict before = x.result.verdict;
        const std::optional<Str> before_reason = x.result.reason;
        w.count = copy.record(event.timestamp, x.result);
        w.exceeded = w.count > c.limit;
        note(x.adoptions, Adoption::Source::Constraint, i, 0, x.result, before, before_reason);
      } else {
        w.count = live->size();
      }
    }
    x.windows.push_back(std::move(w));
  }
}

void explain_rules(const PolicyEngine& engine, const Event& event, const EvalContext& ctx,
                   const lang::SourceMap* map, Explanation& x) {
  const auto& rules = engine.policy().rules;
  for (std::uint32_t i = 0; i < rules.size(); ++i) {
    const CompiledRule& rule = rules[i];
    RuleTrace r;
    r.position = i;
    r.id = rule.id;
    r.has_condition = rule.condition.has_value();
    r.selected = rule_selected(rule, event.event_type.view());
    for (const IRVerdict& entry : rule.verdicts) r.declared.push_back(entry.verdict);
    if (map != nullptr) r.span = span_at(map->rules, i, &lang::SourceMap::Rule::span);
    if (r.selected) {
      if (rule.condition) {
        r.condition = eval_truth(*rule.condition, ctx);
        r.steps = trace_expr(*rule.condition, ctx);
        if (map != nullptr && i < map->rules.size()) attach_spans(r.steps, map->rules[i].condition);
      }
      r.fired = !rule.condition || *r.condition;
    }
    if (r.fired) {
      x.result.triggered_rules.push_back(rule.id);
      for (const IRVerdict& entry : rule.verdicts) {
        VerdictStep v;
        v.verdict = entry.verdict;
        v.adopted = adopts(x.result.verdict, entry.verdict);
        const Verdict before = x.result.verdict;
        const std::optional<Str> before_reason = x.result.reason;
        apply_verdict(entry, ctx, x.result);
        if (v.adopted && entry.message && x.result.reason) v.message = std::string(x.result.reason->view());
        note(x.adoptions, Adoption::Source::Rule, i, rule.id, x.result, before, before_reason);
        r.verdicts.push_back(std::move(v));
      }
      for (const IRAction& action : rule.actions) {
        r.actions.push_back(action.verb);
        x.result.actions.push_back(build_action(action, ctx));
      }
    }
    x.rules.push_back(std::move(r));
  }
}

bool deadline_reached(const MachineMonitor& monitor, std::uint64_t ts) {
  const auto& deadline = monitor.machine->deadline_millis;
  if (!deadline) return false;
  const std::uint64_t elapsed = ts > monitor.started_at_ms ? ts - monitor.started_at_ms : 0;
  return elapsed >= *deadline;
}

std::optional<std::string> label_of(const StateMachine& machine, std::uint32_t state) {
  if (state >= machine.states.size()) return std::nullopt;
  return std::string(machine.states[state].label.view());
}

// The transitions a monitor would look at, in the engine's order: on a
// reached deadline the first Timeout transition out of the state; otherwise
// each transition out of it until one passes.
void trace_guards(const MachineMonitor& monitor, const EvalContext& ctx, MachineTrace& m) {
  const StateMachine& machine = *monitor.machine;
  if (m.deadline_reached) {
    for (std::uint32_t t = 0; t < machine.transitions.size(); ++t) {
      const Transition& tr = machine.transitions[t];
      if (tr.from != monitor.current_state || tr.guard.kind != TransitionGuard::Kind::Timeout) continue;
      m.guards.push_back(GuardCheck{t, tr.guard.kind, true, {}});
      m.taken = t;
      return;
    }
  }
  for (std::uint32_t t = 0; t < machine.transitions.size(); ++t) {
    const Transition& tr = machine.transitions[t];
    if (tr.from != monitor.current_state) continue;
    GuardCheck g{t, tr.guard.kind, false, {}};
    switch (tr.guard.kind) {
      case TransitionGuard::Kind::Predicate:
      case TransitionGuard::Kind::NegatedPredicate: {
        const bool truth = tr.guard.expr && eval_truth(**tr.guard.expr, ctx);
        if (tr.guard.expr) g.steps = trace_expr(**tr.guard.expr, ctx);
        g.passed = tr.guard.kind == TransitionGuard::Kind::Predicate ? truth : !truth;
        break;
      }
      case TransitionGuard::Kind::Timeout:
        g.passed = false;
        break;
      case TransitionGuard::Kind::Always:
        g.passed = true;
        break;
    }
    const bool passed = g.passed;
    m.guards.push_back(std::move(g));
    if (passed) {
      m.taken = t;
      return;
    }
  }
}

void explain_machines(const PolicyEngine& engine, const Event& event, const EvalContext& ctx,
                      const lang::SourceMap* map, Explanation& x) {
  const auto& monitors = engine.monitors();
  for (std::uint32_t i = 0; i < monitors.size(); ++i) {
    const MachineMonitor& live = monitors[i];
    const StateMachine& machine = *live.machine;
    MachineTrace m;
    m.position = i;
    m.id = machine.id;
    m.name = std::string(machine.name.view());
    m.transitions = static_cast<std::uint32_t>(machine.transitions.size());
    m.state = live.current_state;
    m.state_label = label_of(machine, live.current_state);
    if (map != nullptr && i < map->machines.size()) m.span = map->machines[i].span;
    for (std::size_t t = 0; t < machine.transitions.size(); ++t) {
      Edge& edge = m.edges.emplace_back();
      edge.from_label = label_of(machine, machine.transitions[t].from);
      edge.to_label = label_of(machine, machine.transitions[t].to);
      edge.guard = machine.transitions[t].guard.kind;
      if (map != nullptr && i < map->machines.size()) edge.span = span_at(map->machines[i].transitions, t);
    }
    const State* state = live.state();
    if (state != nullptr) {
      m.terminal = state->kind != StateKind::Active;
      if (m.terminal) {
        m.resting_violation = live.is_violating();
      } else {
        m.deadline_reached = deadline_reached(live, event.timestamp);
        trace_guards(live, ctx, m);
      }
    }
    // The engine's own step on a copy: the verdict, reason and violations
    // are exactly those evaluate would produce.
    MachineMonitor copy = live;
    const Verdict before = x.result.verdict;
    const std::optional<Str> before_reason = x.result.reason;
    step_monitor(copy, ctx, x.result);
    note(x.adoptions, Adoption::Source::Machine, i, machine.id, x.result, before, before_reason);
    if (m.taken) {
      m.to_state = machine.transitions[*m.taken].to;
      m.to_label = label_of(machine, *m.to_state);
      m.enters_violating = copy.is_violating();
      if (map != nullptr && i < map->machines.size()) m.taken_span = span_at(map->machines[i].transitions, *m.taken);
    }
    x.machines.push_back(std::move(m));
  }
}

}  // namespace

Explanation explain(const PolicyEngine& engine, const Event& event, const lang::SourceMap* map) {
  Explanation x;
  x.event_type = std::string(event.event_type.view());
  x.timestamp = event.timestamp;
  // No prepared tables: literals are built when read and fields found by key.
  const EvalContext ctx{event, engine.context(), engine.config()};
  explain_windows(engine, event, map, x);
  explain_rules(engine, event, ctx, map, x);
  explain_machines(engine, event, ctx, map, x);
  return x;
}

}  // namespace zelvo::explain
