#include "engine/literal_values.h"

#include "engine/expr_walk.h"
#include "eval/eval.h"

namespace zelvo {

LiteralValues LiteralValues::of(CompiledPolicy& policy) {
  LiteralValues out;
  walk_exprs(policy, [&out](IRExpr& e) {
    auto* lit = std::get_if<IRExpr::Literal>(&e.v);
    if (lit == nullptr) return;
    lit->value_slot = static_cast<std::uint32_t>(out.values_.size());
    out.values_.push_back(literal_value(lit->value));
  });
  return out;
}

}  // namespace zelvo
