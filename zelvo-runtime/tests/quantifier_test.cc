// Quantifiers, Count and List: results over lists and non-lists, the slot-0
// binding, and nesting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eval_test_util.h"

namespace zelvo {
namespace {

using test::event_ref;
using test::lit_int;
using test::list_value;
using test::local_ref;
using test::map_value;
using test::str_value;

Value I(std::int64_t i) { return Value::integer(i); }
Value ints(std::initializer_list<std::int64_t> xs) {
  ValueList out;
  for (auto x : xs) out.push_back(I(x));
  return Value::list(std::move(out));
}

test::Scope with_field(Value v) {
  test::Scope scope;
  scope.event = test::make_event("t", {{"c", std::move(v)}});
  return scope;
}

struct QuantifierCase {
  std::string name;
  QuantifierKind kind;
  Value collection;
  bool expected;
};

class QuantifierTest : public ::testing::TestWithParam<QuantifierCase> {};

// The body is the element itself, so its truthiness decides.
TEST_P(QuantifierTest, OverElementTruthiness) {
  const QuantifierCase& c = GetParam();
  const test::Scope scope = with_field(c.collection);
  const IRExpr e = test::quantifier(c.kind, event_ref({"c"}), local_ref(0));
  EXPECT_TRUE(test::same_value(test::eval_in(scope, e), Value::boolean(c.expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuantifierTest,
    ::testing::Values(QuantifierCase{"AllEmpty", QuantifierKind::All, ints({}), true},
                      QuantifierCase{"AnyEmpty", QuantifierKind::Any, ints({}), false},
                      QuantifierCase{"ExistsEmpty", QuantifierKind::Exists, ints({}), false},
                      QuantifierCase{"NoneEmpty", QuantifierKind::None, ints({}), true},
                      QuantifierCase{"AllTruthy", QuantifierKind::All, ints({1, 2, 3}), true},
                      QuantifierCase{"AllOneFalsy", QuantifierKind::All, ints({1, 0, 3}), false},
                      QuantifierCase{"AnyLastTruthy", QuantifierKind::Any, ints({0, 0, 7}), true},
                      QuantifierCase{"AnyAllFalsy", QuantifierKind::Any, ints({0, 0}), false},
                      QuantifierCase{"ExistsOneTruthy", QuantifierKind::Exists, ints({0, 1}), true},
                      QuantifierCase{"NoneAllFalsy", QuantifierKind::None, ints({0, 0}), true},
                      QuantifierCase{"NoneOneTruthy", QuantifierKind::None, ints({0, 5}), false},
                      QuantifierCase{"AllMixedKinds", QuantifierKind::All,
                                     list_value({str_value("x"), Value::boolean(true), ints({1})}), true},
                      QuantifierCase{"AnyNullElements", QuantifierKind::Any, list_value({Value(), Value()}), false},
                      QuantifierCase{"AllNull", QuantifierKind::All, Value(), false},
                      QuantifierCase{"AnyNull", QuantifierKind::Any, Value(), false},
                      QuantifierCase{"ExistsNull", QuantifierKind::Exists, Value(), false},
                      QuantifierCase{"NoneNull", QuantifierKind::None, Value(), true},
                      QuantifierCase{"AnyMap", QuantifierKind::Any, map_value({{"k", I(1)}}), false},
                      QuantifierCase{"AllString", QuantifierKind::All, str_value("abc"), false},
                      QuantifierCase{"NoneString", QuantifierKind::None, str_value("abc"), true}),
    [](const auto& info) { return info.param.name; });

struct CountCase {
  std::string name;
  Value collection;
  std::optional<IRExpr> filter;
  std::int64_t expected;
};

class CountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountTest, Counts) {
  const CountCase& c = GetParam();
  const test::Scope scope = with_field(c.collection);
  const IRExpr e = c.filter ? test::count(event_ref({"c"}), *c.filter) : test::count(event_ref({"c"}));
  EXPECT_TRUE(test::same_value(test::eval_in(scope, e), I(c.expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CountTest,
    ::testing::Values(
        CountCase{"NoFilter", ints({1, 2, 3, 4, 5}), std::nullopt, 5},
        CountCase{"NoFilterCountsFalsy", ints({0, 0}), std::nullopt, 2},
        CountCase{"EmptyList", ints({}), local_ref(0), 0},
        CountCase{"TruthyElements", ints({0, 1, 2}), local_ref(0), 2},
        CountCase{"Comparison", ints({5, 10, 15, 20}), test::binary(BinaryOp::Gt, local_ref(0), lit_int(10)), 2},
        // The keys of a local reference are not applied: the element is read whole.
        CountCase{"LocalKeysIgnored", list_value({map_value({{"name", Value::boolean(false)}}), map_value({})}),
                  local_ref(0, {"name"}), 1},
        CountCase{"OnlySlotZeroBound", ints({1, 2}), local_ref(1), 0},
        CountCase{"String", str_value("abc"), std::nullopt, 0},
        CountCase{"Null", Value(), local_ref(0), 0},
        CountCase{"Map", map_value({{"a", I(1)}}), std::nullopt, 0}),
    [](const auto& info) { return info.param.name; });

// A computed (not stored) collection is walked the same way.
TEST(QuantifierTest, ComputedCollection) {
  test::Scope scope;
  const IRExpr coll = test::list({lit_int(3), lit_int(0), lit_int(4)});
  EXPECT_TRUE(test::same_value(test::eval_in(scope, test::count(coll, local_ref(0))), I(2)));
  EXPECT_TRUE(test::same_value(test::eval_in(scope, test::quantifier(QuantifierKind::All, coll, local_ref(0))),
                               Value::boolean(false)));
}

// Inner bodies see the inner element; once the inner quantifier returns,
// the outer body sees the outer element again.
TEST(QuantifierTest, NestedBindingsAreRestored) {
  test::Scope scope;
  const Value outer = ints({4, 5, 6});
  const EvalContext ctx = scope.ctx().with_local0(outer);
  // [all x in outer-element: x > 3, count y in outer-element where y > 4, Local(0)]
  const IRExpr e = test::list({
      test::quantifier(QuantifierKind::All, local_ref(0), test::binary(BinaryOp::Gt, local_ref(0), lit_int(3))),
      test::count(local_ref(0), test::binary(BinaryOp::Gt, local_ref(0), lit_int(4))),
      local_ref(0),
  });
  EXPECT_TRUE(test::same_value(eval_expr(e, ctx), list_value({Value::boolean(true), I(2), outer})));
  EXPECT_EQ(ctx.local0, &outer);
}

TEST(QuantifierTest, NestedOverListOfLists) {
  const test::Scope scope = with_field(list_value({ints({1, 2}), ints({3, 4, 5}), ints({}), ints({0, 9})}));
  // count rows where (any cell > 2) and len(row) == 3: the len reads the row
  // after the inner quantifier has run.
  const IRExpr filter = test::binary(
      BinaryOp::And,
      test::quantifier(QuantifierKind::Any, local_ref(0), test::binary(BinaryOp::Gt, local_ref(0), lit_int(2))),
      test::binary(BinaryOp::Eq, test::call("len", {local_ref(0)}), lit_int(3)));
  EXPECT_TRUE(test::same_value(test::eval_in(scope, test::count(event_ref({"c"}), filter)), I(1)));

  // all rows: none of the cells equals 7 — nested quantifiers of two kinds.
  const IRExpr nested = test::quantifier(
      QuantifierKind::All, event_ref({"c"}),
      test::quantifier(QuantifierKind::None, local_ref(0), test::binary(BinaryOp::Eq, local_ref(0), lit_int(7))));
  EXPECT_TRUE(test::same_value(test::eval_in(scope, nested), Value::boolean(true)));
}

TEST(ListTest, ValuesInOrder) {
  test::Scope scope;
  scope.event = test::make_event("t", {{"f", str_value("v")}});
  EXPECT_TRUE(test::same_value(test::eval_in(scope, test::list({})), list_value({})));
  EXPECT_TRUE(test::same_value(
      test::eval_in(scope, test::list({lit_int(1), event_ref({"f"}), event_ref({"missing"}),
                                       test::list({test::lit_str("in")})})),
      list_value({I(1), str_value("v"), Value(), list_value({str_value("in")})})));
}

}  // namespace
}  // namespace zelvo
