// List: the values of the element expressions, in order.
#include "eval/kinds.h"

namespace zelvo::eval {

Value eval_list(const IRExpr::List& e, const EvalContext& ctx) {
  ValueList items;
  items.reserve(e.items.size());
  for (const IRExpr& item : e.items) items.push_back(eval_expr(item, ctx));
  return Value::list(std::move(items));
}

}  // namespace zelvo::eval
