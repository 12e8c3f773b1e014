// The evaluator core: literals, references, unary and binary operators.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <ostream>
#include <string>

#include "builders.h"
#include "eval/eval.h"

namespace zelvo {
namespace {

using namespace zelvo::test;  // NOLINT: terse expression builders

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Value eval_in(const IRExpr& e, const Scope& scope) { return eval_expr(e, scope.ctx()); }
Value eval_plain(const IRExpr& e) { return eval_in(e, Scope{}); }

// Renders a result with its kind, so that Int 3 and Float 3.0 differ.
std::string shown(const Value& v) {
  if (v.is_null()) return "Null";
  static constexpr const char* kKinds[] = {"Null", "Bool", "Int", "Float", "String", "Duration", "List", "Map"};
  return std::string(kKinds[static_cast<int>(v.kind())]) + "(" + display(v) + ")";
}

struct BinaryCase {
  const char* name;
  BinaryOp op;
  IRExpr left;
  IRExpr right;
  const char* expected;  // shown() of the result
};
void PrintTo(const BinaryCase& c, std::ostream* os) { *os << c.name; }


class BinaryTest : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(BinaryTest, Table) {
  const BinaryCase& c = GetParam();
  EXPECT_EQ(shown(eval_plain(binary(c.op, c.left, c.right))), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, BinaryTest,
    ::testing::Values(
        BinaryCase{"max+1", BinaryOp::Add, lit_int(kMax), lit_int(1), "Int(-9223372036854775808)"},
        BinaryCase{"min-1", BinaryOp::Sub, lit_int(kMin), lit_int(1), "Int(9223372036854775807)"},
        BinaryCase{"max*2", BinaryOp::Mul, lit_int(kMax), lit_int(2), "Int(-2)"},
        BinaryCase{"min*-1", BinaryOp::Mul, lit_int(kMin), lit_int(-1), "Int(-9223372036854775808)"},
        BinaryCase{"1+2.5", BinaryOp::Add, lit_int(1), lit_float(2.5), "Float(3.5)"},
        BinaryCase{"2.5-1", BinaryOp::Sub, lit_float(2.5), lit_int(1), "Float(1.5)"},
        BinaryCase{"2*1.5", BinaryOp::Mul, lit_int(2), lit_float(1.5), "Float(3)"},
        BinaryCase{"1+a", BinaryOp::Add, lit_int(1), lit_str("a"), "Null"},
        BinaryCase{"a+b", BinaryOp::Add, lit_str("a"), lit_str("b"), "String(ab)"},
        BinaryCase{"long join", BinaryOp::Add, lit_str("0123456789abcdef"), lit_str("0123456789abcdef"),
                   "String(0123456789abcdef0123456789abcdef)"},
        BinaryCase{"a-b", BinaryOp::Sub, lit_str("a"), lit_str("b"), "Null"},
        BinaryCase{"a*2", BinaryOp::Mul, lit_str("a"), lit_int(2), "Null"},
        BinaryCase{"true+1", BinaryOp::Add, lit_bool(true), lit_int(1), "Null"},
        BinaryCase{"dur+dur", BinaryOp::Add, lit_duration(1, DurationUnit::Seconds),
                   lit_duration(1, DurationUnit::Seconds), "Null"},
        BinaryCase{"dur*2", BinaryOp::Mul, lit_duration(1, DurationUnit::Seconds), lit_int(2), "Null"},
        BinaryCase{"7/2", BinaryOp::Div, lit_int(7), lit_int(2), "Int(3)"},
        BinaryCase{"-7/2", BinaryOp::Div, lit_int(-7), lit_int(2), "Int(-3)"},
        BinaryCase{"-7%2", BinaryOp::Mod, lit_int(-7), lit_int(2), "Int(-1)"},
        BinaryCase{"7%-2", BinaryOp::Mod, lit_int(7), lit_int(-2), "Int(1)"},
        BinaryCase{"7.5%2", BinaryOp::Mod, lit_float(7.5), lit_int(2), "Null"},
        BinaryCase{"7%2.0", BinaryOp::Mod, lit_int(7), lit_float(2.0), "Null"},
        BinaryCase{"1/0", BinaryOp::Div, lit_int(1), lit_int(0), "Null"},
        BinaryCase{"1.0/0", BinaryOp::Div, lit_float(1.0), lit_int(0), "Null"},
        BinaryCase{"1/0.0", BinaryOp::Div, lit_int(1), lit_float(0.0), "Null"},
        BinaryCase{"1/-0.0", BinaryOp::Div, lit_int(1), lit_float(-0.0), "Null"},
        BinaryCase{"0%0", BinaryOp::Mod, lit_int(0), lit_int(0), "Null"},
        BinaryCase{"1/4.0", BinaryOp::Div, lit_int(1), lit_float(4.0), "Float(0.25)"},
        BinaryCase{"1/nan", BinaryOp::Div, lit_int(1), lit_float(kNaN), "Float(NaN)"},
        BinaryCase{"min/-1", BinaryOp::Div, lit_int(kMin), lit_int(-1), "Null"},
        BinaryCase{"min%-1", BinaryOp::Mod, lit_int(kMin), lit_int(-1), "Null"},
        BinaryCase{"min/1", BinaryOp::Div, lit_int(kMin), lit_int(1), "Int(-9223372036854775808)"},
        BinaryCase{"min%2", BinaryOp::Mod, lit_int(kMin), lit_int(2), "Int(0)"},
        BinaryCase{"min/-1.0", BinaryOp::Div, lit_int(kMin), lit_float(-1.0), "Float(9223372036854776000)"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

INSTANTIATE_TEST_SUITE_P(
    Comparison, BinaryTest,
    ::testing::Values(
        BinaryCase{"1<a", BinaryOp::Lt, lit_int(1), lit_str("a"), "Bool(false)"},
        BinaryCase{"1>=a", BinaryOp::Ge, lit_int(1), lit_str("a"), "Bool(false)"},
        BinaryCase{"2<2.5", BinaryOp::Lt, lit_int(2), lit_float(2.5), "Bool(true)"},
        BinaryCase{"2<=2.0", BinaryOp::Le, lit_int(2), lit_float(2.0), "Bool(true)"},
        BinaryCase{"3>2", BinaryOp::Gt, lit_int(3), lit_int(2), "Bool(true)"},
        BinaryCase{"2>=3", BinaryOp::Ge, lit_int(2), lit_int(3), "Bool(false)"},
        BinaryCase{"B<a", BinaryOp::Lt, lit_str("B"), lit_str("a"), "Bool(true)"},
        BinaryCase{"nan<1", BinaryOp::Lt, lit_float(kNaN), lit_int(1), "Bool(false)"},
        BinaryCase{"nan>=1", BinaryOp::Ge, lit_float(kNaN), lit_int(1), "Bool(false)"},
        BinaryCase{"true<=true", BinaryOp::Le, lit_bool(true), lit_bool(true), "Bool(false)"},
        BinaryCase{"1s<1m", BinaryOp::Lt, lit_duration(1, DurationUnit::Seconds),
                   lit_duration(1, DurationUnit::Minutes), "Bool(true)"},
        BinaryCase{"1s>=1000ms", BinaryOp::Ge, lit_duration(1, DurationUnit::Seconds),
                   lit_duration(1000, DurationUnit::Milliseconds), "Bool(true)"},
        BinaryCase{"1000ms<2000", BinaryOp::Lt, lit_duration(1000, DurationUnit::Milliseconds), lit_int(2000),
                   "Bool(false)"},
        BinaryCase{"1s==1000ms", BinaryOp::Eq, lit_duration(1, DurationUnit::Seconds),
                   lit_duration(1000, DurationUnit::Milliseconds), "Bool(true)"},
        BinaryCase{"5ms==5", BinaryOp::Eq, lit_duration(5, DurationUnit::Milliseconds), lit_int(5), "Bool(false)"},
        BinaryCase{"1==1.0", BinaryOp::Eq, lit_int(1), lit_float(1.0), "Bool(true)"},
        BinaryCase{"a!=a", BinaryOp::Neq, lit_str("a"), lit_str("a"), "Bool(false)"},
        BinaryCase{"1!=true", BinaryOp::Neq, lit_int(1), lit_bool(true), "Bool(true)"},
        BinaryCase{"regex==its text", BinaryOp::Eq, lit_regex("^a.*"), lit_str("^a.*"), "Bool(true)"},
        BinaryCase{"b in abc", BinaryOp::In, lit_str("b"), lit_str("abc"), "Bool(false)"},
        BinaryCase{"1 in 1", BinaryOp::In, lit_int(1), lit_int(1), "Bool(false)"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Operators over stored values: Null, lists and maps come from the context.
struct StoredCase {
  const char* name;
  IRExpr expr;
  const char* expected;
};
void PrintTo(const StoredCase& c, std::ostream* os) { *os << c.name; }


class StoredValueTest : public ::testing::TestWithParam<StoredCase> {};

Scope stored_scope() {
  Scope s;
  s.context.insert_or_assign("nums", list_value({Value::integer(1), Value::floating(2.0)}));
  s.context.insert_or_assign("map", map_value({{"k", Value::integer(1)}}));
  s.context.insert_or_assign("null", Value());
  s.context.insert_or_assign("nested", list_value({list_value({Value::integer(1)})}));
  return s;
}

TEST_P(StoredValueTest, Table) {
  const StoredCase& c = GetParam();
  EXPECT_EQ(shown(eval_in(c.expr, stored_scope())), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoredValueTest,
    ::testing::Values(
        StoredCase{"2 in [1, 2.0]", binary(BinaryOp::In, lit_int(2), context_ref({"nums"})), "Bool(true)"},
        StoredCase{"3 in [1, 2.0]", binary(BinaryOp::In, lit_int(3), context_ref({"nums"})), "Bool(false)"},
        StoredCase{"k in map", binary(BinaryOp::In, lit_str("k"), context_ref({"map"})), "Bool(true)"},
        StoredCase{"K in map", binary(BinaryOp::In, lit_str("K"), context_ref({"map"})), "Bool(false)"},
        StoredCase{"1 in map", binary(BinaryOp::In, lit_int(1), context_ref({"map"})), "Bool(false)"},
        // Lists are never loosely equal, so a list is never "in" a list of lists.
        StoredCase{"[1] in [[1]]", binary(BinaryOp::In, context_ref({"nums"}), context_ref({"nested"})),
                   "Bool(false)"},
        StoredCase{"null in missing", binary(BinaryOp::In, context_ref({"null"}), context_ref({"missing"})),
                   "Bool(false)"},
        StoredCase{"null == null", binary(BinaryOp::Eq, context_ref({"null"}), context_ref({"missing"})),
                   "Bool(true)"},
        StoredCase{"null < null", binary(BinaryOp::Lt, context_ref({"null"}), context_ref({"null"})),
                   "Bool(false)"},
        StoredCase{"list != itself", binary(BinaryOp::Neq, context_ref({"nums"}), context_ref({"nums"})),
                   "Bool(true)"},
        StoredCase{"list == itself", binary(BinaryOp::Eq, context_ref({"nums"}), context_ref({"nums"})),
                   "Bool(false)"},
        StoredCase{"map <= map", binary(BinaryOp::Le, context_ref({"map"}), context_ref({"map"})), "Bool(false)"},
        StoredCase{"not null", unary(UnaryOp::Not, context_ref({"null"})), "Bool(true)"},
        StoredCase{"not list", unary(UnaryOp::Not, context_ref({"nums"})), "Bool(false)"},
        StoredCase{"neg list", unary(UnaryOp::Neg, context_ref({"nums"})), "Null"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

struct UnaryCase {
  UnaryOp op;
  IRExpr operand;
  const char* expected;
};

class UnaryTest : public ::testing::TestWithParam<UnaryCase> {};

TEST_P(UnaryTest, Table) {
  const UnaryCase& c = GetParam();
  EXPECT_EQ(shown(eval_plain(unary(c.op, c.operand))), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnaryTest,
    ::testing::Values(UnaryCase{UnaryOp::Not, lit_bool(true), "Bool(false)"},
                      UnaryCase{UnaryOp::Not, lit_int(0), "Bool(true)"},
                      UnaryCase{UnaryOp::Not, lit_float(kNaN), "Bool(false)"},
                      UnaryCase{UnaryOp::Not, lit_str(""), "Bool(true)"},
                      UnaryCase{UnaryOp::Not, lit_duration(0, DurationUnit::Days), "Bool(true)"},
                      UnaryCase{UnaryOp::Neg, lit_int(5), "Int(-5)"},
                      UnaryCase{UnaryOp::Neg, lit_int(kMin), "Int(-9223372036854775808)"},
                      UnaryCase{UnaryOp::Neg, lit_int(kMax), "Int(-9223372036854775807)"},
                      UnaryCase{UnaryOp::Neg, lit_float(0.0), "Float(-0)"},
                      UnaryCase{UnaryOp::Neg, lit_float(-2.5), "Float(2.5)"},
                      UnaryCase{UnaryOp::Neg, lit_str("a"), "Null"},
                      UnaryCase{UnaryOp::Neg, lit_bool(true), "Null"},
                      UnaryCase{UnaryOp::Neg, lit_duration(1, DurationUnit::Seconds), "Null"}));

// The short-circuit operators: always a Bool, from the truthiness of the
// operands.
struct LogicCase {
  BinaryOp op;
  bool left;
  bool right;
  bool expected;
};

class LogicTest : public ::testing::TestWithParam<LogicCase> {};

TEST_P(LogicTest, TruthTable) {
  const LogicCase& c = GetParam();
  EXPECT_EQ(shown(eval_plain(binary(c.op, lit_bool(c.left), lit_int(c.right ? 7 : 0)))),
            c.expected ? "Bool(true)" : "Bool(false)");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogicTest,
    ::testing::Values(LogicCase{BinaryOp::And, false, false, false}, LogicCase{BinaryOp::And, false, true, false},
                      LogicCase{BinaryOp::And, true, false, false}, LogicCase{BinaryOp::And, true, true, true},
                      LogicCase{BinaryOp::Or, false, false, false}, LogicCase{BinaryOp::Or, false, true, true},
                      LogicCase{BinaryOp::Or, true, false, true}, LogicCase{BinaryOp::Or, true, true, true},
                      LogicCase{BinaryOp::Implies, false, false, true},
                      LogicCase{BinaryOp::Implies, false, true, true},
                      LogicCase{BinaryOp::Implies, true, false, false},
                      LogicCase{BinaryOp::Implies, true, true, true}));

// Evaluation has no side effects, so whether the right operand runs is
// observed through the allocator: joining two long strings allocates, while
// a Bool result from a deciding left operand allocates nothing.
std::atomic<long> g_allocations{0};

long allocations_during(const IRExpr& e, const Scope& scope = Scope{}) {
  long before = g_allocations.load();
  Value v = eval_expr(e, scope.ctx());
  long after = g_allocations.load();
  EXPECT_TRUE(v.is_bool());
  return after - before;
}

TEST(ShortCircuitTest, RightOperandIsNotEvaluatedWhenLeftDecides) {
  std::string long_text(64, 'x');
  IRExpr join = binary(BinaryOp::Add, lit_str(long_text), lit_str(long_text));
  // Sanity: evaluating the right operand is visible.
  EXPECT_GT(allocations_during(binary(BinaryOp::And, lit_bool(true), join)), 0);

  EXPECT_EQ(allocations_during(binary(BinaryOp::And, lit_bool(false), join)), 0);
  EXPECT_EQ(allocations_during(binary(BinaryOp::Or, lit_int(1), join)), 0);
  EXPECT_EQ(allocations_during(binary(BinaryOp::Implies, lit_float(0.0), join)), 0);
}

// Operators read stored values in place: membership in a stored list and a
// comparison of stored maps copy nothing.
TEST(OperandTest, StoredOperandsAreReadWithoutCopying) {
  Scope scope;
  ValueList items;
  for (int i = 0; i < 100; ++i) items.push_back(str_value(std::string(40, static_cast<char>('a' + i % 26))));
  scope.context.insert_or_assign("items", Value::list(std::move(items)));
  scope.event.fields.insert_or_assign("m", map_value({{"k", str_value(std::string(40, 'k'))}}));
  EXPECT_EQ(allocations_during(binary(BinaryOp::In, lit_str("zz"), context_ref({"items"})), scope), 0);
  EXPECT_EQ(allocations_during(binary(BinaryOp::Eq, event_ref({"m"}), event_ref({"m"})), scope), 0);
  EXPECT_EQ(allocations_during(unary(UnaryOp::Not, context_ref({"items"})), scope), 0);
}

TEST(ShortCircuitTest, DecidedLeftIgnoresInapplicableRight) {
  IRExpr div_zero = binary(BinaryOp::Div, lit_int(1), lit_int(0));
  EXPECT_EQ(shown(eval_plain(binary(BinaryOp::And, lit_int(0), div_zero))), "Bool(false)");
  EXPECT_EQ(shown(eval_plain(binary(BinaryOp::Or, lit_str("x"), div_zero))), "Bool(true)");
  EXPECT_EQ(shown(eval_plain(binary(BinaryOp::Implies, lit_bool(false), div_zero))), "Bool(true)");
  // Undecided: the Null of the right operand is falsy.
  EXPECT_EQ(shown(eval_plain(binary(BinaryOp::And, lit_bool(true), div_zero))), "Bool(false)");
  EXPECT_EQ(shown(eval_plain(binary(BinaryOp::Or, lit_bool(false), unary(UnaryOp::Not, div_zero)))),
            "Bool(true)");
}

// ---- literals ----

TEST(LiteralTest, DurationsScaleModulo2To64) {
  struct Case {
    std::uint64_t n;
    DurationUnit unit;
    std::uint64_t ms;
  };
  const Case cases[] = {
      {90, DurationUnit::Seconds, 90'000},
      {2, DurationUnit::Days, 172'800'000},
      {7, DurationUnit::Milliseconds, 7},
      {3, DurationUnit::Minutes, 180'000},
      {5, DurationUnit::Hours, 18'000'000},
      {UINT64_MAX, DurationUnit::Milliseconds, UINT64_MAX},
      // 2^63 × 1000 = 2^66 × 125 ≡ 0 (mod 2^64); (2^64 − 1) × 1000 ≡ −1000.
      {1ull << 63, DurationUnit::Seconds, 0},
      {UINT64_MAX, DurationUnit::Seconds, UINT64_MAX - 999},
      {UINT64_MAX, DurationUnit::Days, 0ull - 86'400'000ull},
  };
  for (const Case& c : cases) {
    Value v = eval_plain(lit_duration(c.n, c.unit));
    ASSERT_TRUE(v.is_duration());
    EXPECT_EQ(v.as_duration(), c.ms) << c.n << " " << to_name(c.unit);
  }
}

TEST(LiteralTest, Scalars) {
  EXPECT_EQ(shown(eval_plain(lit_bool(true))), "Bool(true)");
  EXPECT_EQ(shown(eval_plain(lit_int(kMin))), "Int(-9223372036854775808)");
  EXPECT_EQ(shown(eval_plain(lit_float(0.5))), "Float(0.5)");
  EXPECT_EQ(shown(eval_plain(lit_str("hi"))), "String(hi)");
  EXPECT_EQ(shown(eval_plain(lit_regex("^[a-z]+$"))), "String(^[a-z]+$)");
}

// ---- references ----

Scope ref_scope() {
  Scope s;
  s.event = make_event("file_read",
                       {{"path", str_value("/etc/passwd")},
                        {"user", map_value({{"name", str_value("ann")}, {"roles", list_value({str_value("a")})}})},
                        {"timestamp", Value::integer(5)}},
                       86'400'000 * 3 + 1);
  s.context.insert_or_assign("a", list_value({Value::integer(1)}));
  s.context.insert_or_assign("session", map_value({{"id", Value::integer(42)}}));
  s.config.insert_or_assign("limits", map_value({{"max", Value::integer(10)}}));
  return s;
}

struct RefCase {
  const char* name;
  IRExpr expr;
  const char* expected;
};
void PrintTo(const RefCase& c, std::ostream* os) { *os << c.name; }


class RefTest : public ::testing::TestWithParam<RefCase> {};

TEST_P(RefTest, Table) {
  const RefCase& c = GetParam();
  EXPECT_EQ(shown(eval_in(c.expr, ref_scope())), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefTest,
    ::testing::Values(
        RefCase{"event whole", event_ref({}), "Map({4 fields})"},
        RefCase{"event path", event_ref({"path"}), "String(/etc/passwd)"},
        RefCase{"event nested", event_ref({"user", "name"}), "String(ann)"},
        RefCase{"event into list", event_ref({"user", "roles", "0"}), "Null"},
        RefCase{"event type is not special", event_ref({"type"}), "Null"},
        RefCase{"event timestamp is the host's", event_ref({"timestamp"}), "Int(5)"},
        RefCase{"event missing", event_ref({"nope"}), "Null"},
        RefCase{"context whole", context_ref({}), "Map({2 fields})"},
        RefCase{"context path", context_ref({"session", "id"}), "Int(42)"},
        RefCase{"context through list", context_ref({"a", "b"}), "Null"},
        RefCase{"config whole", config_ref({}), "Map({1 fields})"},
        RefCase{"config path", config_ref({"limits", "max"}), "Int(10)"},
        RefCase{"config is not context", config_ref({"session"}), "Null"},
        RefCase{"local unbound", local_ref(0), "Null"},
        RefCase{"local other slot", local_ref(1), "Null"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(RefTest, WholeEventCarriesTypeAndTimestamp) {
  Scope s = ref_scope();
  Value m = eval_in(event_ref({}), s);
  ASSERT_TRUE(m.is_map());
  EXPECT_EQ(shown(*m.as_map().find("type")), "String(file_read)");
  EXPECT_EQ(shown(*m.as_map().find("timestamp")), "Duration(3d)");
  EXPECT_EQ(shown(*m.as_map().find("path")), "String(/etc/passwd)");
  // The host's own "timestamp" field is still what a keyed reference reads.
  EXPECT_EQ(shown(eval_in(event_ref({"timestamp"}), s)), "Int(5)");
}

TEST(RefTest, ResultsAreCopies) {
  Scope s = ref_scope();
  Value roles = eval_in(event_ref({"user", "roles"}), s);
  roles.as_list().push_back(Value::integer(9));
  Value whole = eval_in(context_ref({}), s);
  whole.as_map().insert_or_assign("added", Value());
  EXPECT_EQ(s.event.fields.find("user")->as_map().find("roles")->as_list().size(), 1u);
  EXPECT_FALSE(s.context.contains("added"));
}

TEST(RefTest, LocalSlotZeroIsTheBoundElementWhole) {
  Scope s = ref_scope();
  Value element = map_value({{"name", str_value("x")}});
  EvalContext inner = s.ctx().with_local0(element);
  EXPECT_EQ(shown(eval_expr(local_ref(0), inner)), "Map({1 fields})");
  EXPECT_EQ(shown(eval_expr(local_ref(0, {"name"}), inner)), "Map({1 fields})");
  EXPECT_EQ(shown(eval_expr(local_ref(1), inner)), "Null");
  EXPECT_EQ(shown(eval_expr(binary(BinaryOp::In, lit_str("name"), local_ref(0)), inner)), "Bool(true)");
  // The outer context keeps no binding.
  EXPECT_EQ(shown(eval_expr(local_ref(0), s.ctx())), "Null");
}

TEST(RefTest, MissingAndStoredNullAreAlike) {
  Scope s;
  s.context.insert_or_assign("k", Value());
  EXPECT_EQ(shown(eval_in(context_ref({"k"}), s)), "Null");
  EXPECT_EQ(shown(eval_in(context_ref({"absent"}), s)), "Null");
  EXPECT_EQ(shown(eval_in(context_ref({"k", "x"}), s)), "Null");
}

}  // namespace
}  // namespace zelvo

// Counting replacements of the global allocation functions (see
// ShortCircuitTest). Not inlined: GCC would otherwise pair the inlined
// malloc/free against the new-expressions and warn of a mismatch.
__attribute__((noinline)) void* operator new(std::size_t n) {
  zelvo::g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
