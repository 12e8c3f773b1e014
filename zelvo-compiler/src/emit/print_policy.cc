// The statements of a policy: header, metadata, rules, constraints and
// state machines, one line each (docs/language.md, "Canonical layout").
#include <array>
#include <string>

#include "compiler.h"
#include "emit/expr_printer.h"
#include "emit/printer.h"
#include "syntax/after_form.h"
#include "syntax/lexical.h"

namespace zelvo::lang {

namespace {

// Lower-case words by enumeration ordinal.
constexpr std::array<std::string_view, 5> kSeverity{"critical", "high", "medium", "low", "info"};
constexpr std::array<std::string_view, 5> kVerb{"log", "notify", "escalate", "block", "tag"};
constexpr std::array<std::string_view, 2> kConstraint{"rate_limit", "quota"};
constexpr std::array<std::string_view, 5> kTemporal{"always", "eventually", "never", "until", "next"};
constexpr std::array<std::string_view, 3> kStateKind{"active", "satisfied", "violated"};

template <std::size_t N, typename E>
std::string_view word(const std::array<std::string_view, N>& table, E e) {
  return table[static_cast<std::size_t>(e)];
}

class PolicyPrinter {
 public:
  PrintedSource print(const CompiledPolicy& p) {
    PrintedSource out;
    const std::uint32_t preamble_start = line_;
    header(p);
    out.preamble = {preamble_start, line_ - 1};
    for (const CompiledRule& r : p.rules) {
      blank();
      const std::uint32_t first = line_;
      rule(r);
      out.rules.push_back({first, line_ - 1});
    }
    for (const CompiledConstraint& c : p.constraints) {
      blank();
      const std::uint32_t first = line_;
      constraint(c);
      out.constraints.push_back({first, line_ - 1});
    }
    for (const StateMachine& m : p.state_machines) {
      blank();
      const std::uint32_t first = line_;
      machine(m);
      out.machines.push_back({first, line_ - 1});
    }
    out.text = std::move(text_);
    return out;
  }

 private:
  // Appends one line (which may hold line feeds of a decision tree).
  void line(int indent, std::string_view content) {
    text_.append(static_cast<std::size_t>(indent), ' ');
    text_ += content;
    text_ += '\n';
    ++line_;
    for (char c : content) line_ += c == '\n';
  }
  void blank() {
    text_ += '\n';
    ++line_;
  }

  void header(const CompiledPolicy& p) {
    line(0, "policy " + format_string(p.name) + " severity " + std::string(word(kSeverity, p.severity)));
    if (!p.scopes.empty()) {
      std::string s = "scopes ";
      for (std::size_t i = 0; i < p.scopes.size(); ++i) {
        if (i != 0) s += ", ";
        s += format_string(p.scopes[i]);
      }
      line(0, s);
    }
    const PolicyMetadata& m = p.metadata;
    for (const auto& [k, v] : m.annotations) line(0, "annotation " + format_string(k) + " = " + format_string(v));
    if (m.compiler_version.view() != kCompilerVersion) {
      line(0, "compiler_version " + format_string(m.compiler_version));
    }
    if (m.source_hash != 0) line(0, "source_hash " + std::to_string(m.source_hash));
  }

  void rule(const CompiledRule& r) {
    std::string head = "rule " + std::to_string(r.id);
    for (std::size_t i = 0; i < r.on_events.size(); ++i) {
      head += i == 0 ? " on " : ", ";
      head += format_name(r.on_events[i]);
    }
    line(0, head + " {");
    if (r.severity) line(2, "severity " + std::string(word(kSeverity, *r.severity)));
    if (r.condition) line(2, "when " + ExprPrinter(2).expr(*r.condition));
    for (const IRVerdict& v : r.verdicts) line(2, ExprPrinter(2).verdict(v));
    for (const IRAction& a : r.actions) line(2, action(a));
    line(0, "}");
  }

  static std::string action(const IRAction& a) {
    std::string out(word(kVerb, a.verb));
    out += '(';
    for (std::size_t i = 0; i < a.args.size(); ++i) {
      if (i != 0) out += ", ";
      // "_" is a mark of its own to the lexer, not a word.
      out += a.args[i].first == "_" ? format_string(a.args[i].first) : format_arg_name(a.args[i].first);
      out += ": ";
      out += ExprPrinter(2).expr(*a.args[i].second);
    }
    out += ')';
    return out;
  }

  void constraint(const CompiledConstraint& c) {
    line(0, std::string(word(kConstraint, c.kind)) + " " + format_name(c.target) + " " + std::to_string(c.limit) +
                " per " + format_duration_millis(c.window_millis));
  }

  // A state by label when that names exactly this position, else by number.
  static std::string state_ref(const StateMachine& m, std::uint32_t position) {
    if (position < m.states.size()) {
      const Str& label = m.states[position].label;
      std::size_t same = 0;
      for (const State& s : m.states) same += s.label == label;
      if (same == 1) return format_name(label);
    }
    return std::to_string(position);
  }

  static std::string state_refs(const StateMachine& m, const std::vector<std::uint32_t>& positions) {
    std::string out;
    for (std::size_t i = 0; i < positions.size(); ++i) {
      if (i != 0) out += ", ";
      out += state_ref(m, positions[i]);
    }
    return out;
  }

  void machine(const StateMachine& m) {
    line(0, "machine " + std::to_string(m.id) + " " + format_name(m.name) + " invariant " +
                format_name(m.invariant_name) + " " + std::string(word(kTemporal, m.kind)) + " {");
    // Equal printed text is equal records: print-then-compile is lossless.
    const auto same = [](const IRExpr& a, const IRExpr& b) { return ExprPrinter(2).expr(a) == ExprPrinter(2).expr(b); };
    if (is_after_form(m, same)) {
      line(2, "after " + ExprPrinter(2).expr(**m.transitions[0].guard.expr));
      const TransitionGuard& g = m.transitions[1].guard;
      line(2, "deny every later event" + (g.expr ? " when " + ExprPrinter(2).expr(**g.expr) : std::string()));
      line(0, "}");
      return;
    }
    for (std::size_t i = 0; i < m.states.size(); ++i) {
      const State& s = m.states[i];
      std::string l = "state " + format_name(s.label);
      if (s.kind != StateKind::Active) l += " " + std::string(word(kStateKind, s.kind));
      if (s.id != i) l += " id " + std::to_string(s.id);
      line(2, l);
    }
    if (m.initial_state != 0) line(2, "initial " + state_ref(m, m.initial_state));
    if (!m.accepting_states.empty()) line(2, "accepting " + state_refs(m, m.accepting_states));
    if (!m.violating_states.empty()) line(2, "violating " + state_refs(m, m.violating_states));
    if (m.deadline_millis) line(2, "deadline " + format_duration_millis(*m.deadline_millis));
    for (const Transition& t : m.transitions) line(2, transition(m, t));
    line(0, "}");
  }

  static std::string transition(const StateMachine& m, const Transition& t) {
    std::string out = "transition " + state_ref(m, t.from) + " -> " + state_ref(m, t.to);
    const TransitionGuard& g = t.guard;
    switch (g.kind) {
      case TransitionGuard::Kind::Predicate:
        if (g.expr) out += " when " + ExprPrinter(2).expr(**g.expr);
        break;
      case TransitionGuard::Kind::NegatedPredicate:
        if (g.expr) out += " unless " + ExprPrinter(2).expr(**g.expr);
        break;
      case TransitionGuard::Kind::Timeout:
        out += " on timeout";
        break;
      case TransitionGuard::Kind::Always:
        break;
    }
    return out;
  }

  std::string text_;
  std::uint32_t line_ = 0;
};

}  // namespace

PrintedSource print_source_layout(const CompiledPolicy& policy) { return PolicyPrinter().print(policy); }

std::string print_source(const CompiledPolicy& policy) { return print_source_layout(policy).text; }

std::string print_expr_source(const IRExpr& expr, int indent) { return ExprPrinter(indent).expr(expr); }

std::string print_expr_source(const IRExpr& expr, int indent, std::string_view bound_name) {
  ExprPrinter printer(indent);
  printer.bind(bound_name);
  return printer.expr(expr);
}

}  // namespace zelvo::lang
