#include "replay/result_line.h"

#include "model/enums.h"

namespace zelvo::replay {

std::string_view verdict_text(Verdict verdict) noexcept {
  switch (verdict) {
    case Verdict::Allow: return "allow";
    case Verdict::Deny: return "deny";
    case Verdict::Audit: return "audit";
    case Verdict::Redact: return "redact";
  }
  return "allow";
}

namespace {

// The separators of result lines ("a": 1, "b": 2) or, compact, of the
// records of differing events ("a":1,"b":2), as Python's json.dumps writes
// each.
template <bool kCompact>
constexpr std::string_view sep(std::string_view spaced, std::string_view compact) {
  return kCompact ? compact : spaced;
}

template <bool C>
void write_value_as(ResultText& out, const Value& value);

template <bool C, typename Items, typename F>
void write_list(ResultText& out, const Items& items, F write_item) {
  out.ch('[');
  bool first = true;
  for (const auto& item : items) {
    if (!first) out.raw(sep<C>(", ", ","));
    first = false;
    write_item(out, item);
  }
  out.ch(']');
}

template <bool C>
void write_map(ResultText& out, const ValueMap& map) {
  out.ch('{');
  bool first = true;
  for (const MapEntry& entry : map) {
    if (!first) out.raw(sep<C>(", ", ","));
    first = false;
    out.quoted(entry.key.view());
    out.raw(sep<C>(": ", ":"));
    write_value_as<C>(out, entry.value);
  }
  out.ch('}');
}

template <bool C>
void write_action(ResultText& out, const Action& action) {
  out.raw(sep<C>("{\"verb\": ", "{\"verb\":"));
  out.quoted(to_name(action.verb));
  out.raw(sep<C>(", \"args\": ", ",\"args\":"));
  write_map<C>(out, action.args);
  out.ch('}');
}

template <bool C>
void write_value_as(ResultText& out, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null: return out.raw("null");
    case Value::Kind::Bool: return out.raw(value.as_bool() ? std::string_view("true") : std::string_view("false"));
    case Value::Kind::Int: return out.i64(value.as_int());
    case Value::Kind::Float: return out.f64(value.as_float());
    case Value::Kind::String: return out.quoted(value.as_string().view());
    case Value::Kind::Duration: return out.u64(value.as_duration());
    case Value::Kind::List: return write_list<C>(out, value.as_list(), write_value_as<C>);
    case Value::Kind::Map: return write_map<C>(out, value.as_map());
  }
}

template <bool C>
void write_violation(ResultText& out, const Violation& v) {
  out.raw(sep<C>("{\"proof\": ", "{\"proof\":"));
  out.quoted(v.proof.view());
  out.raw(sep<C>(", \"invariant\": ", ",\"invariant\":"));
  out.quoted(v.invariant.view());
  out.raw(sep<C>(", \"kind\": ", ",\"kind\":"));
  out.quoted(to_name(v.kind));
  out.raw(sep<C>(", \"message\": ", ",\"message\":"));
  out.quoted(v.message);
  out.ch('}');
}

template <bool C>
void write_constraint(ResultText& out, const ConstraintViolation& c) {
  out.raw(sep<C>("{\"kind\": ", "{\"kind\":"));
  out.quoted(to_name(c.kind));
  out.raw(sep<C>(", \"target\": ", ",\"target\":"));
  out.quoted(c.target.view());
  out.raw(sep<C>(", \"limit\": ", ",\"limit\":"));
  out.u64(c.limit);
  out.raw(sep<C>(", \"current\": ", ",\"current\":"));
  out.u64(c.current);
  out.raw(sep<C>(", \"window_ms\": ", ",\"window_ms\":"));
  out.u64(c.window_ms);
  out.ch('}');
}

template <bool C>
void write_result_as(ResultText& out, const EvalResult& r) {
  out.raw(sep<C>("{\"verdict\": \"", "{\"verdict\":\""));
  out.raw(verdict_text(r.verdict));
  out.raw(sep<C>("\", \"reason\": ", "\",\"reason\":"));
  if (r.reason) {
    out.quoted(r.reason->view());
  } else {
    out.raw("null");
  }
  out.raw(sep<C>(", \"triggered_rules\": ", ",\"triggered_rules\":"));
  write_list<C>(out, r.triggered_rules, [](ResultText& o, std::uint32_t id) { o.u64(id); });
  out.raw(sep<C>(", \"eval_time_us\": ", ",\"eval_time_us\":"));
  out.u64(r.eval_time_us);
  out.raw(sep<C>(", \"actions\": ", ",\"actions\":"));
  write_list<C>(out, r.actions, write_action<C>);
  out.raw(sep<C>(", \"violations\": ", ",\"violations\":"));
  write_list<C>(out, r.violations, write_violation<C>);
  out.raw(sep<C>(", \"constraint_violations\": ", ",\"constraint_violations\":"));
  write_list<C>(out, r.constraint_violations, write_constraint<C>);
  out.ch('}');
}

}  // namespace

void write_value(ResultText& out, const Value& value) { write_value_as<false>(out, value); }
void write_result(ResultText& out, const EvalResult& r) { write_result_as<false>(out, r); }
void write_result_compact(ResultText& out, const EvalResult& r) { write_result_as<true>(out, r); }

std::string quoted_text(std::string_view text) {
  ResultText out;
  out.quoted(text);
  return std::string(out.view());
}

void write_result_line(ResultText& out, const ResultHead& head, const EvalResult& result) {
  out.raw("{\"line\": ");
  out.u64(head.line);
  if (head.file) {
    out.raw(", \"file\": ");
    out.quoted(*head.file);
  }
  out.raw(", \"session\": ");
  if (!head.session_json.empty()) {
    out.raw(head.session_json);
  } else if (head.session) {
    out.quoted(*head.session);
  } else {
    out.raw("null");
  }
  out.raw(", \"ts\": ");
  out.u64(head.ts);
  out.raw(", \"type\": ");
  if (!head.type_json.empty()) {
    out.raw(head.type_json);
  } else {
    out.quoted(head.type);
  }
  out.raw(", \"result\": ");
  write_result(out, result);
  if (head.expect) {
    out.raw(", \"expect\": \"");
    out.raw(verdict_text(*head.expect));
    out.raw(result.verdict == *head.expect ? "\", \"match\": true" : "\", \"match\": false");
  }
  out.raw("}\n");
}

}  // namespace zelvo::replay
