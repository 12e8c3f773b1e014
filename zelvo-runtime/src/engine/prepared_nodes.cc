#include "engine/prepared_nodes.h"

#include "engine/expr_walk.h"

namespace zelvo {

PreparedNodes PreparedNodes::of(const CompiledPolicy& policy, const FieldUse& fields) {
  PreparedNodes out;
  std::vector<NodeSlots::Entry> entries;
  walk_exprs(policy, [&](const IRExpr& e) {
    if (const auto* lit = std::get_if<IRExpr::Literal>(&e.v)) {
      entries.push_back({lit, static_cast<std::uint32_t>(out.literals_.size())});
      out.literals_.push_back(literal_value(lit->value));
      return;
    }
    const auto* ref = std::get_if<IRExpr::Ref>(&e.v);
    if (ref == nullptr || ref->path.root.kind != RefRoot::Kind::Event || ref->path.fields.empty()) return;
    if (const auto number = fields.number_of(ref->path.fields.front().view())) entries.push_back({ref, *number});
  });
  out.slots_ = NodeSlots(entries);
  return out;
}

}  // namespace zelvo
