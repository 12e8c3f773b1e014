#include "engine/actions.h"

namespace zelvo {

Action build_action(const IRAction& action, const EvalContext& ctx) {
  Action out;
  out.verb = action.verb;
  out.args.reserve(action.args.size());
  // Stored through slot(), which finds an earlier argument of the same name
  // (the value then replaces it), without copying the name first.
  for (const auto& [name, expr] : action.args) out.args.slot(name.view()) = eval_expr(*expr, ctx);
  return out;
}

}  // namespace zelvo
