// Decision trees: DecisionNode, DecisionCase, CaseTest.
#include "model/json_descriptors.h"
#include "model/json_productions.h"

namespace zelvo::json {
namespace {

bool decode_case_test(JsonReader& r, CaseTest& out) {
  VariantHead head;
  if (!begin_variant(r, kCaseTestVariants, head)) return false;
  if (!newtype_payload(r, head)) return false;
  bool ok = false;
  auto& v = out.v;
  switch (static_cast<CaseTest::Kind>(head.index)) {
    case CaseTest::Kind::Literal: ok = decode_literal(r, v.emplace<CaseTest::Literal>().value); break;
    case CaseTest::Kind::Constructor: ok = read_str(r, v.emplace<CaseTest::Constructor>().name); break;
    case CaseTest::Kind::Guard: ok = decode_expr(r, *v.emplace<CaseTest::Guard>().expr); break;
  }
  return ok && end_variant(r, head);
}

bool decode_case(JsonReader& r, DecisionCase& out) {
  return read_record(r, kCaseRecord, [&](int field) {
    if (field == 0) return decode_case_test(r, out.test);
    return decode_node(r, out.body);
  });
}

bool node_switch(JsonReader& r, DecisionNode::Switch& out) {
  return read_record(r, kSwitchRecord, [&](int field) {
    switch (field) {
      case 0: return decode_expr(r, *out.subject);
      case 1:
        out.cases.clear();
        return read_seq(r, [&] { return decode_case(r, out.cases.emplace_back()); });
      default: return read_optional(r, [&] { return decode_node(r, *out.default_.emplace()); });
    }
  });
}

}  // namespace

bool decode_node(JsonReader& r, DecisionNode& out) {
  VariantHead head;
  if (!begin_variant(r, kNodeVariants, head)) return false;
  bool ok = false;
  auto& v = out.v;
  switch (static_cast<DecisionNode::Kind>(head.index)) {
    case DecisionNode::Kind::Switch:
      ok = struct_payload(r, head) && node_switch(r, v.emplace<DecisionNode::Switch>());
      break;
    case DecisionNode::Kind::Leaf:
      ok = newtype_payload(r, head) && decode_expr(r, *v.emplace<DecisionNode::Leaf>().expr);
      break;
    case DecisionNode::Kind::VerdictLeaf:
      ok = newtype_payload(r, head) && decode_verdict(r, v.emplace<DecisionNode::VerdictLeaf>().verdict);
      break;
  }
  return ok && end_variant(r, head);
}

}  // namespace zelvo::json
