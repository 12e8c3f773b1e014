#include "engine/field_positions.h"

#include "engine/expr_walk.h"
#include "event/event.h"
#include "event/value.h"

namespace zelvo {

FieldUse FieldUse::of(const CompiledPolicy& policy) {
  FieldUse use;
  walk_exprs(policy, [&use](const IRExpr& e) {
    const auto* ref = std::get_if<IRExpr::Ref>(&e.v);
    if (ref == nullptr || ref->path.root.kind != RefRoot::Kind::Event) return;
    if (ref->path.fields.empty()) {
      use.all_ = true;
      return;
    }
    Value& number = use.names_.slot(ref->path.fields.front().view());
    if (number.is_null()) number = Value::integer(static_cast<std::int64_t>(use.names_.size() - 1));
  });
  return use;
}

std::optional<std::uint32_t> FieldUse::number_of(std::string_view field) const noexcept {
  const Value* number = names_.find(field);
  if (number == nullptr) return std::nullopt;
  return static_cast<std::uint32_t>(number->as_int());
}

void FieldUse::locate(const ValueMap& fields, std::span<std::uint32_t> positions) const noexcept {
  for (std::uint32_t& pos : positions) pos = kNoFieldPosition;
  std::uint32_t at = 0;
  for (const MapEntry& entry : fields) {
    const std::optional<std::uint32_t> number = number_of(entry.key.view());
    if (number && *number < positions.size()) positions[*number] = at;
    ++at;
  }
}

}  // namespace zelvo
