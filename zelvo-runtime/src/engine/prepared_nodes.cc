#include "engine/prepared_nodes.h"

#include <utility>

#include "engine/expr_walk.h"

namespace zelvo {

PreparedNodes PreparedNodes::of(CompiledPolicy& policy, const FieldUse& fields) {
  PreparedNodes out;
  // walk_exprs hands out const nodes; they belong to `policy`, which the
  // caller gave as writable, so writing their numbers is allowed.
  walk_exprs(std::as_const(policy), [&](const IRExpr& node) {
    IRExpr& e = const_cast<IRExpr&>(node);
    if (auto* lit = std::get_if<IRExpr::Literal>(&e.v)) {
      lit->slot = kUnnumbered;
      // Past the numbers a slot can hold, a literal is built when read.
      if (out.literals_.size() >= kUnnumbered) return;
      lit->slot = static_cast<std::uint32_t>(out.literals_.size());
      out.literals_.push_back(literal_value(lit->value));
      return;
    }
    auto* ref = std::get_if<IRExpr::Ref>(&e.v);
    if (ref == nullptr) return;
    ref->slot = kUnnumbered;
    if (ref->path.root.kind != RefRoot::Kind::Event || ref->path.fields.empty()) return;
    if (const auto number = fields.number_of(ref->path.fields.front().view())) ref->slot = *number;
  });
  return out;
}

}  // namespace zelvo
