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

void write_value(JsonOut& out, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null: return out.null();
    case Value::Kind::Bool: return out.boolean(value.as_bool());
    case Value::Kind::Int: return out.i64(value.as_int());
    case Value::Kind::Float: return out.f64(value.as_float());
    case Value::Kind::String: return out.str(value.as_string().view());
    case Value::Kind::Duration: return out.u64(value.as_duration());
    case Value::Kind::List: {
      out.ch('[');
      bool first = true;
      for (const Value& item : value.as_list()) {
        if (!first) out.raw(", ");
        first = false;
        write_value(out, item);
      }
      return out.ch(']');
    }
    case Value::Kind::Map: {
      out.ch('{');
      bool first = true;
      for (const MapEntry& entry : value.as_map()) {
        if (!first) out.raw(", ");
        first = false;
        out.str(entry.key.view());
        out.raw(": ");
        write_value(out, entry.value);
      }
      return out.ch('}');
    }
  }
}

namespace {

void write_action(JsonOut& out, const Action& action) {
  out.raw("{\"verb\": ");
  out.str(to_name(action.verb));
  out.raw(", \"args\": {");
  bool first = true;
  for (const MapEntry& entry : action.args) {
    if (!first) out.raw(", ");
    first = false;
    out.str(entry.key.view());
    out.raw(": ");
    write_value(out, entry.value);
  }
  out.raw("}}");
}

void write_violation(JsonOut& out, const Violation& v) {
  out.raw("{\"proof\": ");
  out.str(v.proof.view());
  out.raw(", \"invariant\": ");
  out.str(v.invariant.view());
  out.raw(", \"kind\": ");
  out.str(to_name(v.kind));
  out.raw(", \"message\": ");
  out.str(v.message);
  out.ch('}');
}

void write_constraint(JsonOut& out, const ConstraintViolation& c) {
  out.raw("{\"kind\": ");
  out.str(to_name(c.kind));
  out.raw(", \"target\": ");
  out.str(c.target.view());
  out.raw(", \"limit\": ");
  out.u64(c.limit);
  out.raw(", \"current\": ");
  out.u64(c.current);
  out.raw(", \"window_ms\": ");
  out.u64(c.window_ms);
  out.ch('}');
}

template <typename T, typename F>
void write_list(JsonOut& out, const std::vector<T>& items, F write_item) {
  out.ch('[');
  bool first = true;
  for (const T& item : items) {
    if (!first) out.raw(", ");
    first = false;
    write_item(out, item);
  }
  out.ch(']');
}

}  // namespace

void write_result(JsonOut& out, const EvalResult& r) {
  out.raw("{\"verdict\": \"");
  out.raw(verdict_text(r.verdict));
  out.raw("\", \"reason\": ");
  if (r.reason) {
    out.str(r.reason->view());
  } else {
    out.null();
  }
  out.raw(", \"triggered_rules\": ");
  write_list(out, r.triggered_rules, [](JsonOut& o, std::uint32_t id) { o.u64(id); });
  out.raw(", \"eval_time_us\": ");
  out.u64(r.eval_time_us);
  out.raw(", \"actions\": ");
  write_list(out, r.actions, write_action);
  out.raw(", \"violations\": ");
  write_list(out, r.violations, write_violation);
  out.raw(", \"constraint_violations\": ");
  write_list(out, r.constraint_violations, write_constraint);
  out.ch('}');
}

void write_result_line(JsonOut& out, const ResultHead& head, const EvalResult& result) {
  out.raw("{\"line\": ");
  out.u64(head.line);
  if (head.file) {
    out.raw(", \"file\": ");
    out.str(*head.file);
  }
  out.raw(", \"session\": ");
  if (head.session) {
    out.str(*head.session);
  } else {
    out.null();
  }
  out.raw(", \"ts\": ");
  out.u64(head.ts);
  out.raw(", \"type\": ");
  out.str(head.type);
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
