#include "emit/policy_json.h"

#include <utility>
#include <variant>

#include "emit/compact_json.h"

#include "model/enums.h"

namespace zelvo::lang {

namespace {

// One function per record and sum type; each writes one JSON value
// through `Out`: json::Writer, or CompactJson for the compact layout.
template <typename Out>
class PolicyWriter {
 public:
  explicit PolicyWriter(Out out) : out_(std::move(out)) {}
  std::string take() && { return std::move(out_).take(); }

  void policy(const CompiledPolicy& p) {
    out_.begin_object();
    out_.key("name");
    out_.string(p.name);
    out_.key("severity");
    enumeration(p.severity);
    out_.key("scopes");
    strings(p.scopes);
    out_.key("rules");
    list(p.rules, &PolicyWriter::rule);
    out_.key("constraints");
    list(p.constraints, &PolicyWriter::constraint);
    out_.key("state_machines");
    list(p.state_machines, &PolicyWriter::machine);
    out_.key("metadata");
    metadata(p.metadata);
    out_.end_object();
  }

  void expr(const IRExpr& e) {
    out_.begin_object();
    std::visit([this](const auto& alt) { expr_variant(alt); }, e.v);
    out_.end_object();
  }

 private:
  template <typename E>
  void enumeration(E value) {
    out_.string(to_name(value));
  }

  void strings(const std::vector<Str>& items) {
    out_.begin_array();
    for (const Str& s : items) out_.string(s);
    out_.end_array();
  }

  template <typename T>
  void list(const std::vector<T>& items, void (PolicyWriter::*each)(const T&)) {
    out_.begin_array();
    for (const T& item : items) (this->*each)(item);
    out_.end_array();
  }

  void optional_expr(const std::optional<Box<IRExpr>>& e) {
    if (e) {
      expr(**e);
    } else {
      out_.null();
    }
  }

  void rule(const CompiledRule& r) {
    out_.begin_object();
    out_.key("id");
    out_.unsigned_integer(r.id);
    out_.key("on_events");
    strings(r.on_events);
    out_.key("condition");
    if (r.condition) {
      expr(*r.condition);
    } else {
      out_.null();
    }
    out_.key("verdicts");
    list(r.verdicts, &PolicyWriter::verdict);
    out_.key("actions");
    list(r.actions, &PolicyWriter::action);
    out_.key("severity");
    if (r.severity) {
      enumeration(*r.severity);
    } else {
      out_.null();
    }
    out_.end_object();
  }

  void verdict(const IRVerdict& v) {
    out_.begin_object();
    out_.key("verdict");
    enumeration(v.verdict);
    out_.key("message");
    optional_expr(v.message);
    out_.end_object();
  }

  void action(const IRAction& a) {
    out_.begin_object();
    out_.key("verb");
    enumeration(a.verb);
    out_.key("args");
    out_.begin_array();
    for (const auto& [name, value] : a.args) {
      out_.begin_array();
      out_.string(name);
      expr(*value);
      out_.end_array();
    }
    out_.end_array();
    out_.end_object();
  }

  void constraint(const CompiledConstraint& c) {
    out_.begin_object();
    out_.key("kind");
    enumeration(c.kind);
    out_.key("target");
    out_.string(c.target);
    out_.key("limit");
    out_.unsigned_integer(c.limit);
    out_.key("window_millis");
    out_.unsigned_integer(c.window_millis);
    out_.end_object();
  }

  void machine(const StateMachine& m) {
    out_.begin_object();
    out_.key("id");
    out_.unsigned_integer(m.id);
    out_.key("name");
    out_.string(m.name);
    out_.key("invariant_name");
    out_.string(m.invariant_name);
    out_.key("kind");
    enumeration(m.kind);
    out_.key("states");
    list(m.states, &PolicyWriter::state);
    out_.key("transitions");
    list(m.transitions, &PolicyWriter::transition);
    out_.key("initial_state");
    out_.unsigned_integer(m.initial_state);
    out_.key("accepting_states");
    positions(m.accepting_states);
    out_.key("violating_states");
    positions(m.violating_states);
    out_.key("deadline_millis");
    if (m.deadline_millis) {
      out_.unsigned_integer(*m.deadline_millis);
    } else {
      out_.null();
    }
    out_.end_object();
  }

  void positions(const std::vector<std::uint32_t>& items) {
    out_.begin_array();
    for (std::uint32_t p : items) out_.unsigned_integer(p);
    out_.end_array();
  }

  void state(const State& s) {
    out_.begin_object();
    out_.key("id");
    out_.unsigned_integer(s.id);
    out_.key("label");
    out_.string(s.label);
    out_.key("kind");
    enumeration(s.kind);
    out_.end_object();
  }

  void transition(const Transition& t) {
    out_.begin_object();
    out_.key("from");
    out_.unsigned_integer(t.from);
    out_.key("to");
    out_.unsigned_integer(t.to);
    out_.key("guard");
    guard(t.guard);
    out_.end_object();
  }

  void guard(const TransitionGuard& g) {
    using Kind = TransitionGuard::Kind;
    switch (g.kind) {
      case Kind::Predicate:
        one_key("Predicate", g.expr);
        return;
      case Kind::NegatedPredicate:
        one_key("NegatedPredicate", g.expr);
        return;
      case Kind::Timeout:
        out_.string("Timeout");
        return;
      case Kind::Always:
        out_.string("Always");
        return;
    }
  }

  // {"Name": expr}; a guard whose expression is missing (a model the
  // decoder never builds) gets null, which the decoder refuses.
  void one_key(std::string_view name, const std::optional<Box<IRExpr>>& e) {
    out_.begin_object();
    out_.key(name);
    optional_expr(e);
    out_.end_object();
  }

  void metadata(const PolicyMetadata& m) {
    out_.begin_object();
    out_.key("annotations");
    out_.begin_array();
    for (const auto& [k, v] : m.annotations) {
      out_.begin_array();
      out_.string(k);
      out_.string(v);
      out_.end_array();
    }
    out_.end_array();
    out_.key("source_hash");
    out_.unsigned_integer(m.source_hash);
    out_.key("compiler_version");
    out_.string(m.compiler_version);
    out_.end_object();
  }

  // ---- literals --------------------------------------------------------

  void literal_value(const LiteralValue& lit) {
    out_.begin_object();
    std::visit([this](const auto& alt) { literal_variant(alt); }, lit.v);
    out_.end_object();
  }
  void literal_variant(const LiteralValue::Bool& b) {
    out_.key("Bool");
    out_.boolean(b.value);
  }
  void literal_variant(const LiteralValue::Int& i) {
    out_.key("Int");
    out_.integer(i.value);
  }
  void literal_variant(const LiteralValue::Float& f) {
    out_.key("Float");
    out_.floating(f.value);
  }
  void literal_variant(const LiteralValue::String& s) {
    out_.key("String");
    out_.string(s.value);
  }
  void literal_variant(const LiteralValue::Duration& d) {
    out_.key("Duration");
    out_.begin_object();
    out_.key("value");
    out_.unsigned_integer(d.value.value);
    out_.key("unit");
    enumeration(d.value.unit);
    out_.end_object();
  }
  void literal_variant(const LiteralValue::Regex& r) {
    out_.key("Regex");
    out_.string(r.value);
  }

  // ---- expressions: each variant writes its key and payload -------------

  void expr_variant(const IRExpr::Literal& l) {
    out_.key("Literal");
    literal_value(l.value);
  }
  void expr_variant(const IRExpr::Ref& r) {
    out_.key("Ref");
    out_.begin_object();
    out_.key("root");
    ref_root(r.path.root);
    out_.key("fields");
    strings(r.path.fields);
    out_.end_object();
  }
  void expr_variant(const IRExpr::Binary& b) {
    out_.key("Binary");
    out_.begin_object();
    out_.key("op");
    enumeration(b.op);
    out_.key("left");
    expr(*b.left);
    out_.key("right");
    expr(*b.right);
    out_.end_object();
  }
  void expr_variant(const IRExpr::Unary& u) {
    out_.key("Unary");
    out_.begin_object();
    out_.key("op");
    enumeration(u.op);
    out_.key("operand");
    expr(*u.operand);
    out_.end_object();
  }
  void expr_variant(const IRExpr::Predicate& p) {
    out_.key("Predicate");
    out_.begin_object();
    out_.key("kind");
    enumeration(p.kind);
    out_.key("subject");
    expr(*p.subject);
    out_.key("argument");
    expr(*p.argument);
    out_.end_object();
  }
  void expr_variant(const IRExpr::Quantifier& q) {
    out_.key("Quantifier");
    out_.begin_object();
    out_.key("kind");
    enumeration(q.kind);
    out_.key("collection");
    expr(*q.collection);
    out_.key("param");
    out_.string(q.param);
    out_.key("body");
    expr(*q.body);
    out_.end_object();
  }
  void expr_variant(const IRExpr::Count& c) {
    out_.key("Count");
    out_.begin_object();
    out_.key("collection");
    expr(*c.collection);
    out_.key("param");
    if (c.param) {
      out_.string(*c.param);
    } else {
      out_.null();
    }
    out_.key("filter");
    optional_expr(c.filter);
    out_.end_object();
  }
  void expr_variant(const IRExpr::Call& c) {
    out_.key("Call");
    out_.begin_object();
    out_.key("function");
    out_.string(c.function);
    out_.key("args");
    list(c.args, &PolicyWriter::expr);
    out_.end_object();
  }
  void expr_variant(const IRExpr::MethodCall& m) {
    out_.key("MethodCall");
    out_.begin_object();
    out_.key("object");
    expr(*m.object);
    out_.key("method");
    out_.string(m.method);
    out_.key("args");
    list(m.args, &PolicyWriter::expr);
    out_.end_object();
  }
  void expr_variant(const IRExpr::DecisionTree& t) {
    out_.key("DecisionTree");
    node(*t.node);
  }
  void expr_variant(const IRExpr::List& l) {
    out_.key("List");
    list(l.items, &PolicyWriter::expr);
  }

  void ref_root(const RefRoot& root) {
    switch (root.kind) {
      case RefRoot::Kind::Event:
        out_.string("Event");
        return;
      case RefRoot::Kind::Context:
        out_.string("Context");
        return;
      case RefRoot::Kind::Policy:
        out_.string("Policy");
        return;
      case RefRoot::Kind::Local:
        out_.begin_object();
        out_.key("Local");
        out_.unsigned_integer(root.slot);
        out_.end_object();
        return;
    }
  }

  // ---- decision trees ------------------------------------------------------

  void node(const DecisionNode& n) {
    out_.begin_object();
    std::visit([this](const auto& alt) { node_variant(alt); }, n.v);
    out_.end_object();
  }
  void node_variant(const DecisionNode::Switch& s) {
    out_.key("Switch");
    out_.begin_object();
    out_.key("subject");
    expr(*s.subject);
    out_.key("cases");
    list(s.cases, &PolicyWriter::decision_case);
    out_.key("default");
    if (s.default_) {
      node(**s.default_);
    } else {
      out_.null();
    }
    out_.end_object();
  }
  void node_variant(const DecisionNode::Leaf& l) {
    out_.key("Leaf");
    expr(*l.expr);
  }
  void node_variant(const DecisionNode::VerdictLeaf& v) {
    out_.key("VerdictLeaf");
    verdict(v.verdict);
  }

  void decision_case(const DecisionCase& c) {
    out_.begin_object();
    out_.key("test");
    case_test(c.test);
    out_.key("body");
    node(c.body);
    out_.end_object();
  }

  void case_test(const CaseTest& t) {
    out_.begin_object();
    std::visit([this](const auto& alt) { case_variant(alt); }, t.v);
    out_.end_object();
  }
  void case_variant(const CaseTest::Literal& l) {
    out_.key("Literal");
    literal_value(l.value);
  }
  void case_variant(const CaseTest::Constructor& c) {
    out_.key("Constructor");
    out_.string(c.name);
  }
  void case_variant(const CaseTest::Guard& g) {
    out_.key("Guard");
    expr(*g.expr);
  }

  Out out_;
};

constexpr auto kFloats = json::FloatStyle::Shortest;

// `write(writer)` with the writer of `layout`.
template <typename Write>
std::string written(JsonLayout layout, Write write) {
  if (layout == JsonLayout::Compact) {
    PolicyWriter<CompactJson> w{CompactJson(kFloats)};
    write(w);
    return std::move(w).take();
  }
  PolicyWriter<json::Writer> w{json::Writer({.layout = layout, .floats = kFloats})};
  write(w);
  return std::move(w).take();
}

}  // namespace

std::string write_policy_json(const CompiledPolicy& policy, JsonLayout layout) {
  return written(layout, [&](auto& w) { w.policy(policy); });
}

std::string write_expr_json(const IRExpr& expr, JsonLayout layout) {
  return written(layout, [&](auto& w) { w.expr(expr); });
}

}  // namespace zelvo::lang
