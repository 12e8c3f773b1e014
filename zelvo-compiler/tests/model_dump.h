// A compact, exact text of model records for tests: two records are equal
// field for field exactly when their dumps are equal, and a failing
// EXPECT_EQ shows where they differ.
#pragma once

#include <cstdio>
#include <string>

#include "model/enums.h"
#include "model/policy.h"

namespace zelvo::lang::testing {

inline std::string q(const Str& s) { return "\"" + std::string(s.view()) + "\""; }

inline std::string dump(const LiteralValue& v) {
  switch (v.kind()) {
    case LiteralValue::Kind::Bool: return std::get<LiteralValue::Bool>(v.v).value ? "true" : "false";
    case LiteralValue::Kind::Int: return "i" + std::to_string(std::get<LiteralValue::Int>(v.v).value);
    case LiteralValue::Kind::Float: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "f%.17g", std::get<LiteralValue::Float>(v.v).value);
      return buf;
    }
    case LiteralValue::Kind::String: return q(std::get<LiteralValue::String>(v.v).value);
    case LiteralValue::Kind::Duration: {
      const DurationLit& d = std::get<LiteralValue::Duration>(v.v).value;
      return "dur(" + std::to_string(d.value) + " " + std::string(to_name(d.unit)) + ")";
    }
    case LiteralValue::Kind::Regex: return "re" + q(std::get<LiteralValue::Regex>(v.v).value);
  }
  return "?";
}

std::string dump(const IRExpr& e);
std::string dump(const DecisionNode& n);

inline std::string dump(const IRVerdict& v) {
  return std::string(to_name(v.verdict)) + (v.message ? "[" + dump(**v.message) + "]" : "");
}

inline std::string dump(const RefPath& p) {
  std::string out;
  switch (p.root.kind) {
    case RefRoot::Kind::Event: out = "event"; break;
    case RefRoot::Kind::Context: out = "context"; break;
    case RefRoot::Kind::Policy: out = "config"; break;
    case RefRoot::Kind::Local: out = "local" + std::to_string(p.root.slot); break;
  }
  for (const Str& f : p.fields) out += "." + std::string(f.view());
  return out;
}

inline std::string dump(const DecisionNode& n) {
  if (const auto* l = std::get_if<DecisionNode::Leaf>(&n.v)) return "leaf(" + dump(*l->expr) + ")";
  if (const auto* v = std::get_if<DecisionNode::VerdictLeaf>(&n.v)) return "verdict(" + dump(v->verdict) + ")";
  const auto& s = std::get<DecisionNode::Switch>(n.v);
  std::string out = "switch(" + dump(*s.subject);
  for (const DecisionCase& c : s.cases) {
    out += "; ";
    if (const auto* l = std::get_if<CaseTest::Literal>(&c.test.v)) out += "lit " + dump(l->value);
    if (const auto* k = std::get_if<CaseTest::Constructor>(&c.test.v)) out += "is " + q(k->name);
    if (const auto* g = std::get_if<CaseTest::Guard>(&c.test.v)) out += "if " + dump(*g->expr);
    out += " => " + dump(c.body);
  }
  if (s.default_) out += "; else => " + dump(**s.default_);
  return out + ")";
}

inline std::string dump(const IRExpr& e) {
  switch (e.kind()) {
    case IRExpr::Kind::Literal: return dump(std::get<IRExpr::Literal>(e.v).value);
    case IRExpr::Kind::Ref: return dump(std::get<IRExpr::Ref>(e.v).path);
    case IRExpr::Kind::Binary: {
      const auto& b = std::get<IRExpr::Binary>(e.v);
      return std::string(to_name(b.op)) + "(" + dump(*b.left) + ", " + dump(*b.right) + ")";
    }
    case IRExpr::Kind::Unary: {
      const auto& u = std::get<IRExpr::Unary>(e.v);
      return std::string(to_name(u.op)) + "(" + dump(*u.operand) + ")";
    }
    case IRExpr::Kind::Predicate: {
      const auto& p = std::get<IRExpr::Predicate>(e.v);
      return std::string(to_name(p.kind)) + "(" + dump(*p.subject) + ", " + dump(*p.argument) + ")";
    }
    case IRExpr::Kind::Quantifier: {
      const auto& x = std::get<IRExpr::Quantifier>(e.v);
      return std::string(to_name(x.kind)) + "(" + dump(*x.collection) + ", " + q(x.param) + ", " + dump(*x.body) + ")";
    }
    case IRExpr::Kind::Count: {
      const auto& c = std::get<IRExpr::Count>(e.v);
      return "Count(" + dump(*c.collection) + ", " + (c.param ? q(*c.param) : "-") + ", " +
             (c.filter ? dump(**c.filter) : "-") + ")";
    }
    case IRExpr::Kind::Call: {
      const auto& c = std::get<IRExpr::Call>(e.v);
      std::string out = "Call " + q(c.function) + "(";
      for (std::size_t i = 0; i < c.args.size(); ++i) out += (i ? ", " : "") + dump(c.args[i]);
      return out + ")";
    }
    case IRExpr::Kind::MethodCall: {
      const auto& c = std::get<IRExpr::MethodCall>(e.v);
      std::string out = "Method(" + dump(*c.object) + ")." + q(c.method) + "(";
      for (std::size_t i = 0; i < c.args.size(); ++i) out += (i ? ", " : "") + dump(c.args[i]);
      return out + ")";
    }
    case IRExpr::Kind::DecisionTree: return "tree(" + dump(*std::get<IRExpr::DecisionTree>(e.v).node) + ")";
    case IRExpr::Kind::List: {
      const auto& l = std::get<IRExpr::List>(e.v);
      std::string out = "[";
      for (std::size_t i = 0; i < l.items.size(); ++i) out += (i ? ", " : "") + dump(l.items[i]);
      return out + "]";
    }
  }
  return "?";
}

inline std::string dump(const CompiledPolicy& p) {
  std::string out = "policy " + q(p.name) + " " + std::string(to_name(p.severity)) + "\n";
  out += "scopes";
  for (const Str& s : p.scopes) out += " " + q(s);
  out += "\n";
  for (const auto& [k, v] : p.metadata.annotations) out += "annotation " + q(k) + "=" + q(v) + "\n";
  out += "meta " + std::to_string(p.metadata.source_hash) + " " + q(p.metadata.compiler_version) + "\n";
  for (const CompiledRule& r : p.rules) {
    out += "rule " + std::to_string(r.id) + " on";
    for (const Str& e : r.on_events) out += " " + q(e);
    out += r.severity ? " sev " + std::string(to_name(*r.severity)) : " sev -";
    out += "\n  when " + (r.condition ? dump(*r.condition) : "-") + "\n";
    for (const IRVerdict& v : r.verdicts) out += "  verdict " + dump(v) + "\n";
    for (const IRAction& a : r.actions) {
      out += "  action " + std::string(to_name(a.verb));
      for (const auto& [n, e] : a.args) out += " " + q(n) + "=" + dump(*e);
      out += "\n";
    }
  }
  for (const CompiledConstraint& c : p.constraints) {
    out += std::string(to_name(c.kind)) + " " + q(c.target) + " " + std::to_string(c.limit) + " " +
           std::to_string(c.window_millis) + "\n";
  }
  for (const StateMachine& m : p.state_machines) {
    out += "machine " + std::to_string(m.id) + " " + q(m.name) + " " + q(m.invariant_name) + " " +
           std::string(to_name(m.kind)) + " initial " + std::to_string(m.initial_state) + " deadline " +
           (m.deadline_millis ? std::to_string(*m.deadline_millis) : "-") + "\n";
    for (const State& s : m.states) {
      out += "  state " + std::to_string(s.id) + " " + q(s.label) + " " + std::string(to_name(s.kind)) + "\n";
    }
    out += "  accepting";
    for (auto a : m.accepting_states) out += " " + std::to_string(a);
    out += "\n  violating";
    for (auto a : m.violating_states) out += " " + std::to_string(a);
    out += "\n";
    for (const Transition& t : m.transitions) {
      static constexpr const char* kGuard[] = {"when", "unless", "timeout", "always"};
      out += "  " + std::to_string(t.from) + " -> " + std::to_string(t.to) + " " +
             kGuard[static_cast<int>(t.guard.kind)] + (t.guard.expr ? " " + dump(**t.guard.expr) : "") + "\n";
    }
  }
  return out;
}

}  // namespace zelvo::lang::testing
