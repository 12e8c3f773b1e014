#include "engine/actions.h"

namespace zelvo {

Action build_action(const IRAction& action, const EvalContext& ctx) {
  Action out;
  out.verb = action.verb;
  out.args.reserve(action.args.size());
  for (const auto& [name, expr] : action.args) out.args.insert_or_assign(name, eval_expr(*expr, ctx));
  return out;
}

}  // namespace zelvo
