// Quantifier (All, Any, None, Exists) and Count over a List.
//
// The element under inspection is bound to local slot 0 by borrowing it
// (EvalContext::with_local0): no element and no bindings are copied per
// element. The inner context lives only for one body evaluation, so the
// caller's binding (an outer quantifier's element) is untouched. A
// collection that is a reference to stored data is walked in place.
#include <cstdint>

#include "eval/kinds.h"
#include "eval/operand.h"

namespace zelvo::eval {

bool quantifier_holds(const IRExpr::Quantifier& e, const EvalContext& ctx) {
  const Operand operand = eval_operand(*e.collection, ctx);
  const Value& collection = operand.get();
  if (!collection.is_list()) return e.kind == QuantifierKind::None;

  // All stops at the first falsy body; Any, Exists and None at the first
  // truthy one. `stop_on` is the body truthiness that decides.
  const bool stop_on = e.kind != QuantifierKind::All;
  const bool result_when_stopped = e.kind == QuantifierKind::Any || e.kind == QuantifierKind::Exists;
  for (const Value& element : collection.as_list()) {
    if (eval_truth(*e.body, ctx.with_local0(element)) == stop_on) return result_when_stopped;
  }
  return !result_when_stopped;
}

Value eval_quantifier(const IRExpr::Quantifier& e, const EvalContext& ctx) {
  return Value::boolean(quantifier_holds(e, ctx));
}

Value eval_count(const IRExpr::Count& e, const EvalContext& ctx) {
  const Operand operand = eval_operand(*e.collection, ctx);
  const Value& collection = operand.get();
  if (!collection.is_list()) return Value::integer(0);
  const ValueList& items = collection.as_list();
  if (!e.filter.has_value()) return Value::integer(static_cast<std::int64_t>(items.size()));

  const IRExpr& filter = **e.filter;
  std::int64_t n = 0;
  for (const Value& element : items) {
    if (eval_truth(filter, ctx.with_local0(element))) ++n;
  }
  return Value::integer(n);
}

}  // namespace zelvo::eval
