// IRExpr: one production per variant; decode_expr only dispatches.
#include "model/json_descriptors.h"
#include "model/json_productions.h"

namespace zelvo::json {
namespace {

bool expr_binary(JsonReader& r, IRExpr::Binary& out) {
  return read_record(r, kBinaryRecord, [&](int field) {
    switch (field) {
      case 0: return read_plain_enum(r, names<BinaryOp>(), out.op);
      case 1: return decode_expr(r, *out.left);
      default: return decode_expr(r, *out.right);
    }
  });
}

bool expr_unary(JsonReader& r, IRExpr::Unary& out) {
  return read_record(r, kUnaryRecord, [&](int field) {
    if (field == 0) return read_plain_enum(r, names<UnaryOp>(), out.op);
    return decode_expr(r, *out.operand);
  });
}

bool expr_predicate(JsonReader& r, IRExpr::Predicate& out) {
  return read_record(r, kPredicateRecord, [&](int field) {
    switch (field) {
      case 0: return read_plain_enum(r, names<PredicateKind>(), out.kind);
      case 1: return decode_expr(r, *out.subject);
      default: return decode_expr(r, *out.argument);
    }
  });
}

bool expr_quantifier(JsonReader& r, IRExpr::Quantifier& out) {
  return read_record(r, kQuantifierRecord, [&](int field) {
    switch (field) {
      case 0: return read_plain_enum(r, names<QuantifierKind>(), out.kind);
      case 1: return decode_expr(r, *out.collection);
      case 2: return read_str(r, out.param);
      default: return decode_expr(r, *out.body);
    }
  });
}

bool expr_count(JsonReader& r, IRExpr::Count& out) {
  return read_record(r, kCountRecord, [&](int field) {
    switch (field) {
      case 0: return decode_expr(r, *out.collection);
      case 1: return read_optional(r, [&] { return read_str(r, out.param.emplace()); });
      default: return read_optional(r, [&] { return decode_expr(r, *out.filter.emplace()); });
    }
  });
}

bool expr_call(JsonReader& r, IRExpr::Call& out) {
  return read_record(r, kCallRecord, [&](int field) {
    if (field == 0) return read_str(r, out.function);
    return read_expr_list(r, out.args);
  });
}

bool expr_method_call(JsonReader& r, IRExpr::MethodCall& out) {
  return read_record(r, kMethodCallRecord, [&](int field) {
    switch (field) {
      case 0: return decode_expr(r, *out.object);
      case 1: return read_str(r, out.method);
      default: return read_expr_list(r, out.args);
    }
  });
}

}  // namespace

bool read_expr_list(JsonReader& r, std::vector<IRExpr>& out) {
  out.clear();
  return read_seq(r, [&] { return decode_expr(r, out.emplace_back()); });
}

bool decode_expr(JsonReader& r, IRExpr& out) {
  VariantHead head;
  if (!begin_variant(r, kExprVariants, head)) return false;
  bool ok = false;
  auto& v = out.v;
  switch (static_cast<IRExpr::Kind>(head.index)) {
    case IRExpr::Kind::Literal:
      ok = newtype_payload(r, head) && decode_literal(r, v.emplace<IRExpr::Literal>().value);
      break;
    case IRExpr::Kind::Ref:
      ok = newtype_payload(r, head) && decode_ref_path(r, v.emplace<IRExpr::Ref>().path);
      break;
    case IRExpr::Kind::Binary: ok = struct_payload(r, head) && expr_binary(r, v.emplace<IRExpr::Binary>()); break;
    case IRExpr::Kind::Unary: ok = struct_payload(r, head) && expr_unary(r, v.emplace<IRExpr::Unary>()); break;
    case IRExpr::Kind::Predicate:
      ok = struct_payload(r, head) && expr_predicate(r, v.emplace<IRExpr::Predicate>());
      break;
    case IRExpr::Kind::Quantifier:
      ok = struct_payload(r, head) && expr_quantifier(r, v.emplace<IRExpr::Quantifier>());
      break;
    case IRExpr::Kind::Count: ok = struct_payload(r, head) && expr_count(r, v.emplace<IRExpr::Count>()); break;
    case IRExpr::Kind::Call: ok = struct_payload(r, head) && expr_call(r, v.emplace<IRExpr::Call>()); break;
    case IRExpr::Kind::MethodCall:
      ok = struct_payload(r, head) && expr_method_call(r, v.emplace<IRExpr::MethodCall>());
      break;
    case IRExpr::Kind::DecisionTree:
      ok = newtype_payload(r, head) && decode_node(r, *v.emplace<IRExpr::DecisionTree>().node);
      break;
    case IRExpr::Kind::List:
      ok = newtype_payload(r, head) && read_expr_list(r, v.emplace<IRExpr::List>().items);
      break;
  }
  return ok && end_variant(r, head);
}

}  // namespace zelvo::json
