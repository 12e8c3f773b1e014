// MethodCall: evaluates the object, then every argument in order, and
// dispatches on the object's kind. Objects of any other kind (Null, Bool,
// Int, Float, Duration) have no methods. Methods only read their object, so
// an object that is a reference to stored data is not copied.
#include <vector>

#include "eval/kinds.h"
#include "eval/methods.h"

namespace zelvo::eval {

Value eval_method_call(const IRExpr::MethodCall& e, const EvalContext& ctx) {
  const Operand operand = eval_operand(*e.object, ctx);
  std::vector<Operand> args;
  args.reserve(e.args.size());
  for (const IRExpr& arg : e.args) args.push_back(eval_operand(arg, ctx));

  const Value& object = operand.get();
  switch (object.kind()) {
    case Value::Kind::String: return string_method(object.as_string(), e.method.view(), args);
    case Value::Kind::List: return list_method(object.as_list(), e.method.view());
    case Value::Kind::Map: return map_method(object.as_map(), e.method.view(), args);
    default: return Value();
  }
}

}  // namespace zelvo::eval
