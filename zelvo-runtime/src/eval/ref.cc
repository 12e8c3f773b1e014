// Ref: reads the event, the context map, the configuration map or the local
// binding. A missing value reads as Null.
#include <span>
#include <utility>

#include "eval/kinds.h"
#include "eval/operand.h"

namespace zelvo::eval {

namespace {

Operand found_or_null(const Value* found) {
  return found != nullptr ? Operand::borrowed(*found) : Operand::owned(Value());
}

// With keys, only the host's fields are searched: "type" and "timestamp"
// are ordinary keys there. Without keys, the whole-event map.
// A first key with a known position is not searched for.
Operand event_operand(const IRExpr::Ref& e, const EvalContext& ctx) {
  const RefPath& path = e.path;
  if (path.fields.empty()) return Operand::owned(event_map(ctx.event));
  const std::span<const Str> keys(path.fields);
  if (!ctx.field_positions.empty()) {
    const std::uint32_t number = e.slot;
    if (number < ctx.field_positions.size()) {
      const std::size_t pos = ctx.field_positions[number];
      if (pos >= ctx.event.fields.size()) return Operand::owned(Value());
      return found_or_null(lookup_path(ctx.event.fields.begin()[pos].value, keys.subspan(1)));
    }
  }
  return found_or_null(lookup_path(ctx.event.fields, keys));
}

Operand map_operand(const ValueMap& map, const RefPath& path) {
  if (path.fields.empty()) return Operand::owned(Value::map(map));
  return found_or_null(lookup_path(map, std::span<const Str>(path.fields)));
}

// Only slot 0 is ever bound; the keys of a local reference are not applied
// (the bound element itself is the value).
Operand local_operand(const RefPath& path, const EvalContext& ctx) {
  if (path.root.slot != 0) return Operand::owned(Value());
  return found_or_null(ctx.local0);
}

}  // namespace

Operand ref_operand_general(const IRExpr::Ref& e, const EvalContext& ctx) {
  switch (e.path.root.kind) {
    case RefRoot::Kind::Event: return event_operand(e, ctx);
    case RefRoot::Kind::Context: return map_operand(ctx.context, e.path);
    case RefRoot::Kind::Policy: return map_operand(ctx.config, e.path);
    case RefRoot::Kind::Local: return local_operand(e.path, ctx);
  }
  return Operand::owned(Value());
}

Value eval_ref(const IRExpr::Ref& e, const EvalContext& ctx) { return std::move(ref_operand(e, ctx)).take(); }

}  // namespace zelvo::eval
