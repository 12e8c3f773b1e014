// Literals and references: LiteralValue, DurationLit, RefPath, RefRoot.
#include "model/json_descriptors.h"
#include "model/json_productions.h"

namespace zelvo::json {
namespace {

bool decode_duration(JsonReader& r, DurationLit& out) {
  return read_record(r, kDurationRecord, [&](int field) {
    if (field == 0) return read_u64(r, out.value);
    return read_plain_enum(r, names<DurationUnit>(), out.unit);
  });
}

bool decode_ref_root(JsonReader& r, RefRoot& out) {
  VariantHead head;
  if (!begin_variant(r, kRefRootVariants, head)) return false;
  out.kind = static_cast<RefRoot::Kind>(head.index);
  out.slot = 0;
  const bool ok = out.kind == RefRoot::Kind::Local ? newtype_payload(r, head) && read_u32(r, out.slot)
                                                    : unit_payload(r, head);
  return ok && end_variant(r, head);
}

}  // namespace

bool decode_literal(JsonReader& r, LiteralValue& out) {
  VariantHead head;
  if (!begin_variant(r, kLiteralVariants, head)) return false;
  if (!newtype_payload(r, head)) return false;
  bool ok = false;
  auto& v = out.v;
  switch (static_cast<LiteralValue::Kind>(head.index)) {
    case LiteralValue::Kind::Bool: ok = read_bool(r, v.emplace<LiteralValue::Bool>().value); break;
    case LiteralValue::Kind::Int: ok = read_i64(r, v.emplace<LiteralValue::Int>().value); break;
    case LiteralValue::Kind::Float: ok = read_f64(r, v.emplace<LiteralValue::Float>().value); break;
    case LiteralValue::Kind::String: ok = read_str(r, v.emplace<LiteralValue::String>().value); break;
    case LiteralValue::Kind::Duration: ok = decode_duration(r, v.emplace<LiteralValue::Duration>().value); break;
    case LiteralValue::Kind::Regex: ok = read_str(r, v.emplace<LiteralValue::Regex>().value); break;
  }
  return ok && end_variant(r, head);
}

bool decode_ref_path(JsonReader& r, RefPath& out) {
  return read_record(r, kRefPathRecord, [&](int field) {
    if (field == 0) return decode_ref_root(r, out.root);
    return read_str_list(r, out.fields);
  });
}

}  // namespace zelvo::json
