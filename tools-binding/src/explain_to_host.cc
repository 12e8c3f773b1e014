#include "explain_to_host.h"

#include <new>
#include <optional>
#include <string_view>

#include "host/host.h"
#include "host/value_to_host.h"
#include "model/enums.h"

namespace korvanthel::tools {
namespace {

using namespace zelvo::explain;

PyObject* made(PyObject* obj) {
  if (obj == nullptr) throw std::bad_alloc();
  return obj;
}

PyRef text(std::string_view s) { return korvanthel::text_to_host(s); }
PyRef u64(std::uint64_t n) { return PyRef::steal(made(PyLong_FromUnsignedLongLong(n))); }
PyRef flag(bool b) { return PyRef::borrow(b ? Py_True : Py_False); }
PyRef none() { return PyRef::borrow(Py_None); }

template <typename E>
PyRef name(E e) {
  return text(zelvo::to_name(e));
}

class Dict {
 public:
  Dict() : d_(PyRef::steal(made(PyDict_New()))) {}
  Dict& set(const char* key, PyRef value) {
    if (PyDict_SetItemString(d_.get(), key, value.get()) < 0) throw std::bad_alloc();
    return *this;
  }
  PyRef finish() { return std::move(d_); }

 private:
  PyRef d_;
};

template <typename T, typename Make>
PyRef list_of(const std::vector<T>& items, Make make) {
  PyRef list = PyRef::steal(made(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(items[i]).release());
  }
  return list;
}

template <typename T, typename Make>
PyRef maybe(const std::optional<T>& v, Make make) {
  return v ? make(*v) : none();
}

PyRef span_to_host(const zelvo::lang::Span& s) {
  return Dict()
      .set("line", u64(s.line))
      .set("column", u64(s.column))
      .set("end_line", u64(s.end_line))
      .set("end_column", u64(s.end_column))
      .set("offset", u64(s.offset))
      .set("length", u64(s.length))
      .finish();
}

PyRef step_to_host(const ExprStep& s) {
  return Dict()
      .set("index", u64(s.index))
      .set("depth", u64(s.depth))
      .set("text", text(s.text))
      .set("evaluated", flag(s.value.has_value()))
      .set("value", s.value ? korvanthel::value_to_host(*s.value) : none())
      .set("decisive", flag(s.decisive))
      .set("span", maybe(s.span, span_to_host))
      .set("binds", maybe(s.binds, [](const std::string& b) { return text(b); }))
      .set("visited", u64(s.visited))
      .set("elements", list_of(s.elements,
                               [](const ElementStep& e) {
                                 return Dict()
                                     .set("element", korvanthel::value_to_host(e.element))
                                     .set("body", korvanthel::value_to_host(e.body))
                                     .finish();
                               }))
      .finish();
}

PyRef rule_to_host(const RuleTrace& r) {
  return Dict()
      .set("position", u64(r.position))
      .set("id", u64(r.id))
      .set("selected", flag(r.selected))
      .set("has_condition", flag(r.has_condition))
      .set("condition", maybe(r.condition, flag))
      .set("fired", flag(r.fired))
      .set("declared_verdicts", list_of(r.declared, [](zelvo::Verdict v) { return name(v); }))
      .set("nodes", list_of(r.steps, step_to_host))
      .set("verdicts", list_of(r.verdicts,
                               [](const VerdictStep& v) {
                                 return Dict()
                                     .set("verdict", name(v.verdict))
                                     .set("adopted", flag(v.adopted))
                                     .set("message", maybe(v.message, [](const std::string& m) { return text(m); }))
                                     .finish();
                               }))
      .set("actions", list_of(r.actions, [](zelvo::ActionVerb verb) { return name(verb); }))
      .set("span", maybe(r.span, span_to_host))
      .finish();
}

PyRef source_name(Adoption::Source s) {
  switch (s) {
    case Adoption::Source::Constraint: return text("constraint");
    case Adoption::Source::Rule: return text("rule");
    case Adoption::Source::Machine: return text("machine");
  }
  return text("rule");
}

PyRef adoption_to_host(const Adoption& a) {
  return Dict()
      .set("source", source_name(a.source))
      .set("position", u64(a.position))
      .set("id", u64(a.id))
      .set("verdict", name(a.verdict))
      .set("reason", maybe(a.reason, [](const std::string& m) { return text(m); }))
      .finish();
}

PyRef window_to_host(const WindowTrace& w) {
  return Dict()
      .set("position", u64(w.position))
      .set("kind", name(w.constraint.kind))
      .set("target", text(w.constraint.target.view()))
      .set("limit", u64(w.constraint.limit))
      .set("window_ms", u64(w.constraint.window_millis))
      .set("superseded", flag(w.superseded))
      .set("counts_event", flag(w.counts_event))
      .set("count", u64(w.count))
      .set("exceeded", flag(w.exceeded))
      .set("span", maybe(w.span, span_to_host))
      .finish();
}

PyRef guard_kind(zelvo::TransitionGuard::Kind kind) {
  return text(kind == zelvo::TransitionGuard::Kind::Predicate          ? "Predicate"
              : kind == zelvo::TransitionGuard::Kind::NegatedPredicate ? "NegatedPredicate"
              : kind == zelvo::TransitionGuard::Kind::Timeout          ? "Timeout"
                                                                       : "Always");
}

PyRef guard_to_host(const GuardCheck& g) {
  return Dict()
      .set("transition", u64(g.transition))
      .set("kind", guard_kind(g.kind))
      .set("passed", flag(g.passed))
      .set("nodes", list_of(g.steps, step_to_host))
      .finish();
}

PyRef machine_to_host(const MachineTrace& m) {
  const auto str = [](const std::string& s) { return text(s); };
  return Dict()
      .set("position", u64(m.position))
      .set("id", u64(m.id))
      .set("name", text(m.name))
      .set("transitions", u64(m.transitions))
      .set("state", u64(m.state))
      .set("state_label", maybe(m.state_label, str))
      .set("terminal", flag(m.terminal))
      .set("deadline_reached", flag(m.deadline_reached))
      .set("guards", list_of(m.guards, guard_to_host))
      .set("taken", maybe(m.taken, [](std::uint32_t t) { return u64(t); }))
      .set("to_state", maybe(m.to_state, [](std::uint32_t t) { return u64(t); }))
      .set("to_label", maybe(m.to_label, str))
      .set("enters_violating", flag(m.enters_violating))
      .set("resting_violation", flag(m.resting_violation))
      .set("span", maybe(m.span, span_to_host))
      .set("taken_span", maybe(m.taken_span, span_to_host))
      .set("edges", list_of(m.edges,
                            [&](const Edge& e) {
                              return Dict()
                                  .set("from", maybe(e.from_label, str))
                                  .set("to", maybe(e.to_label, str))
                                  .set("guard", guard_kind(e.guard))
                                  .set("span", maybe(e.span, span_to_host))
                                  .finish();
                            }))
      .finish();
}

}  // namespace

PyRef explanation_to_host(const Explanation& x) {
  return Dict()
      .set("event_type", text(x.event_type))
      .set("ts", u64(x.timestamp))
      .set("result", korvanthel::result_to_host(x.result))
      .set("rules", list_of(x.rules, rule_to_host))
      .set("windows", list_of(x.windows, window_to_host))
      .set("machines", list_of(x.machines, machine_to_host))
      .set("adoptions", list_of(x.adoptions, adoption_to_host))
      .finish();
}

}  // namespace korvanthel::tools
