// Test helpers: terse constructors for policy expressions and values.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "event/event.h"
#include "eval/eval.h"
#include "event/value.h"
#include "model/policy.h"

namespace zelvo::test {

inline IRExpr lit(LiteralValue v) { return IRExpr::Literal{std::move(v)}; }
inline IRExpr lit_bool(bool b) { return lit(LiteralValue::Bool{b}); }
inline IRExpr lit_int(std::int64_t i) { return lit(LiteralValue::Int{i}); }
inline IRExpr lit_float(double d) { return lit(LiteralValue::Float{d}); }
inline IRExpr lit_str(std::string_view s) { return lit(LiteralValue::String{Str(s)}); }
inline IRExpr lit_regex(std::string_view s) { return lit(LiteralValue::Regex{Str(s)}); }
inline IRExpr lit_duration(std::uint64_t n, DurationUnit u) { return lit(LiteralValue::Duration{DurationLit{n, u}}); }

inline IRExpr ref(RefRoot::Kind root, std::initializer_list<std::string_view> path, std::uint32_t slot = 0) {
  RefPath p;
  p.root = RefRoot{root, slot};
  for (auto k : path) p.fields.emplace_back(k);
  return IRExpr::Ref{std::move(p)};
}
inline IRExpr event_ref(std::initializer_list<std::string_view> path) { return ref(RefRoot::Kind::Event, path); }
inline IRExpr context_ref(std::initializer_list<std::string_view> path) { return ref(RefRoot::Kind::Context, path); }
inline IRExpr config_ref(std::initializer_list<std::string_view> path) { return ref(RefRoot::Kind::Policy, path); }
inline IRExpr local_ref(std::uint32_t slot, std::initializer_list<std::string_view> path = {}) {
  return ref(RefRoot::Kind::Local, path, slot);
}

inline IRExpr binary(BinaryOp op, IRExpr l, IRExpr r) { return IRExpr::Binary{op, std::move(l), std::move(r)}; }
inline IRExpr unary(UnaryOp op, IRExpr e) { return IRExpr::Unary{op, std::move(e)}; }
inline IRExpr predicate(PredicateKind k, IRExpr s, IRExpr a) {
  return IRExpr::Predicate{k, std::move(s), std::move(a)};
}
inline IRExpr quantifier(QuantifierKind k, IRExpr coll, IRExpr body) {
  return IRExpr::Quantifier{k, std::move(coll), Str("x"), std::move(body)};
}
inline IRExpr count(IRExpr coll) { return IRExpr::Count{std::move(coll), std::nullopt, std::nullopt}; }
inline IRExpr count(IRExpr coll, IRExpr filter) {
  return IRExpr::Count{std::move(coll), Str("x"), Box<IRExpr>(std::move(filter))};
}
inline IRExpr list(std::vector<IRExpr> items) { return IRExpr::List{std::move(items)}; }
inline IRExpr call(std::string_view f, std::vector<IRExpr> args) { return IRExpr::Call{Str(f), std::move(args)}; }
inline IRExpr method(IRExpr obj, std::string_view m, std::vector<IRExpr> args = {}) {
  return IRExpr::MethodCall{std::move(obj), Str(m), std::move(args)};
}

inline Value str_value(std::string_view s) { return Value::string(Str(s)); }
inline Value list_value(ValueList items) { return Value::list(std::move(items)); }
inline Value map_value(std::vector<std::pair<std::string, Value>> entries) {
  ValueMap m;
  for (auto& [k, v] : entries) m.insert_or_assign(Str(k), std::move(v));
  return Value::map(std::move(m));
}
inline Event make_event(std::string_view type, std::vector<std::pair<std::string, Value>> fields = {},
                        std::uint64_t ts = 0) {
  Event e;
  e.event_type = Str(type);
  for (auto& [k, v] : fields) e.fields.insert_or_assign(Str(k), std::move(v));
  e.timestamp = ts;
  return e;
}

// Evaluates `e` against `event` with empty (or given) context and config.
struct Scope {
  Event event = make_event("test");
  ValueMap context;
  ValueMap config;
  EvalContext ctx() const { return EvalContext{event, context, config}; }
};

}  // namespace zelvo::test
