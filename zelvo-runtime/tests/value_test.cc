// Value operations: display, truthiness, the two equalities, ordering, path
// lookup, the whole-event map and the map container underneath.
#include "event/value.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "builders.h"
#include "event/event.h"

namespace zelvo {
namespace {

using test::list_value;
using test::make_event;
using test::map_value;
using test::str_value;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

Value I(std::int64_t i) { return Value::integer(i); }
Value F(double d) { return Value::floating(d); }
Value D(std::uint64_t ms) { return Value::duration(ms); }
Value B(bool b) { return Value::boolean(b); }

// ---- display ----

struct FloatCase {
  double value;
  const char* text;
};

class FloatDisplayTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatDisplayTest, ShortestPlainDecimal) {
  EXPECT_EQ(display(F(GetParam().value)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FloatDisplayTest,
    ::testing::Values(FloatCase{1.0, "1"}, FloatCase{2.0, "2"}, FloatCase{0.5, "0.5"}, FloatCase{-2.5, "-2.5"},
                      FloatCase{0.1 + 0.2, "0.30000000000000004"}, FloatCase{1e21, "1000000000000000000000"},
                      FloatCase{1.5e-7, "0.00000015"}, FloatCase{0.0, "0"}, FloatCase{-0.0, "-0"},
                      FloatCase{123.456, "123.456"}, FloatCase{1e16, "10000000000000000"},
                      FloatCase{1e22, "10000000000000000000000"}, FloatCase{1e-7, "0.0000001"},
                      FloatCase{kInf, "inf"}, FloatCase{-kInf, "-inf"}, FloatCase{kNaN, "NaN"},
                      FloatCase{-kNaN, "NaN"}));

// The extremes: the text has no exponent and reads back as the same double.
TEST(FloatDisplayTest, ExtremesReadBackExactly) {
  for (double d : {5e-324, -5e-324, 1.7976931348623157e308, 2.2250738585072014e-308, 9007199254740993.0}) {
    std::string text = display(F(d));
    EXPECT_EQ(text.find_first_of("eE+"), std::string::npos) << text;
    double back = 0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_EQ(res.ptr, text.data() + text.size()) << text;
    EXPECT_EQ(back, d) << text;
  }
  std::string tiny = display(F(5e-324));
  EXPECT_EQ(tiny, "0." + std::string(323, '0') + "5");
  std::string huge = display(F(1.7976931348623157e308));
  EXPECT_EQ(huge, "17976931348623157" + std::string(292, '0'));
}

struct DisplayCase {
  Value value;
  const char* text;
};

class DisplayTest : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayTest, Text) { EXPECT_EQ(display(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, DisplayTest,
    ::testing::Values(DisplayCase{Value(), "null"}, DisplayCase{B(true), "true"}, DisplayCase{B(false), "false"},
                      DisplayCase{I(0), "0"}, DisplayCase{I(-42), "-42"}, DisplayCase{I(kMin), "-9223372036854775808"},
                      DisplayCase{str_value("a \"b\""), "a \"b\""}, DisplayCase{str_value(""), ""},
                      DisplayCase{list_value({}), "[0 items]"},
                      DisplayCase{list_value({I(1), Value(), list_value({})}), "[3 items]"},
                      DisplayCase{map_value({}), "{0 fields}"},
                      DisplayCase{map_value({{"a", I(1)}, {"b", I(2)}}), "{2 fields}"},
                      // Durations: the largest unit reached, truncated.
                      DisplayCase{D(0), "0ms"}, DisplayCase{D(999), "999ms"}, DisplayCase{D(1000), "1s"},
                      DisplayCase{D(59'999), "59s"}, DisplayCase{D(60'000), "1m"}, DisplayCase{D(3'599'999), "59m"},
                      DisplayCase{D(3'600'000), "1h"}, DisplayCase{D(86'399'999), "23h"},
                      DisplayCase{D(86'400'000), "1d"}, DisplayCase{D(1'699'920'000'000), "19675d"},
                      DisplayCase{D(UINT64_MAX), "213503982334d"}));

// ---- truthiness ----

struct TruthCase {
  Value value;
  bool truthy;
};

class TruthyTest : public ::testing::TestWithParam<TruthCase> {};

TEST_P(TruthyTest, Table) { EXPECT_EQ(truthy(GetParam().value), GetParam().truthy) << display(GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Cases, TruthyTest,
                         ::testing::Values(TruthCase{Value(), false}, TruthCase{B(false), false},
                                           TruthCase{B(true), true}, TruthCase{I(0), false}, TruthCase{I(-1), true},
                                           TruthCase{F(0.0), false}, TruthCase{F(-0.0), false},
                                           TruthCase{F(kNaN), true}, TruthCase{F(1e-300), true},
                                           TruthCase{str_value(""), false}, TruthCase{str_value(" "), true},
                                           TruthCase{D(0), false}, TruthCase{D(1), true},
                                           TruthCase{list_value({}), false}, TruthCase{list_value({Value()}), true},
                                           TruthCase{map_value({}), false},
                                           TruthCase{map_value({{"k", Value()}}), true}));

// ---- equality and ordering ----

struct PairCase {
  const char* name;
  Value left;
  Value right;
  bool loose;
  bool deep;
  Ordering order;
};

class PairTest : public ::testing::TestWithParam<PairCase> {};

TEST_P(PairTest, LooseDeepAndOrder) {
  const PairCase& c = GetParam();
  EXPECT_EQ(loose_equals(c.left, c.right), c.loose) << c.name;
  EXPECT_EQ(deep_equals(c.left, c.right), c.deep) << c.name;
  EXPECT_EQ(partial_compare(c.left, c.right), c.order) << c.name;
}

constexpr Ordering kLess = Ordering::Less, kEq = Ordering::Equal, kGreater = Ordering::Greater,
                   kNone = Ordering::Incomparable;

INSTANTIATE_TEST_SUITE_P(
    Cases, PairTest,
    ::testing::Values(
        PairCase{"null null", Value(), Value(), true, true, kNone},
        PairCase{"null false", Value(), B(false), false, false, kNone},
        PairCase{"true true", B(true), B(true), true, true, kNone},
        PairCase{"true 1", B(true), I(1), false, false, kNone},
        PairCase{"1 1", I(1), I(1), true, true, kEq},
        PairCase{"1 2", I(1), I(2), false, false, kLess},
        PairCase{"min max", I(kMin), I(INT64_MAX), false, false, kLess},
        PairCase{"1 1.0", I(1), F(1.0), true, false, kEq},
        PairCase{"1.0 1", F(1.0), I(1), true, false, kEq},
        PairCase{"2 2.5", I(2), F(2.5), false, false, kLess},
        PairCase{"2.5 2", F(2.5), I(2), false, false, kGreater},
        PairCase{"0.1+0.2 0.3", F(0.1 + 0.2), F(0.3), true, false, kGreater},
        PairCase{"1e16 1e16+2", F(1e16), F(1e16 + 2), false, false, kLess},
        PairCase{"2^53+1 2^53", I(9007199254740993), F(9007199254740992.0), true, false, kEq},
        PairCase{"0.0 -0.0", F(0.0), F(-0.0), true, true, kEq},
        PairCase{"nan nan", F(kNaN), F(kNaN), false, false, kNone},
        PairCase{"nan 1", F(kNaN), I(1), false, false, kNone},
        PairCase{"1 nan", I(1), F(kNaN), false, false, kNone},
        PairCase{"inf inf", F(kInf), F(kInf), false, true, kEq},
        PairCase{"-inf 1", F(-kInf), I(1), false, false, kLess},
        PairCase{"B a", str_value("B"), str_value("a"), false, false, kLess},
        PairCase{"ab abc", str_value("ab"), str_value("abc"), false, false, kLess},
        PairCase{"abc abc", str_value("abc"), str_value("abc"), true, true, kEq},
        PairCase{"string 1", str_value("1"), I(1), false, false, kNone},
        PairCase{"1 string", I(1), str_value("a"), false, false, kNone},
        PairCase{"dur 5 dur 5", D(5), D(5), true, true, kEq},
        PairCase{"dur 5 dur 7", D(5), D(7), false, false, kLess},
        PairCase{"dur max dur 0", D(UINT64_MAX), D(0), false, false, kGreater},
        PairCase{"dur 5 int 5", D(5), I(5), false, false, kNone},
        PairCase{"int 5 dur 5", I(5), D(5), false, false, kNone},
        PairCase{"[1] [1]", list_value({I(1)}), list_value({I(1)}), false, true, kNone},
        PairCase{"[1,a] [1,a]", list_value({I(1), str_value("a")}), list_value({I(1), str_value("a")}), false,
                 true, kNone},
        PairCase{"[1] [1.0]", list_value({I(1)}), list_value({F(1.0)}), false, false, kNone},
        PairCase{"[1] [1,1]", list_value({I(1)}), list_value({I(1), I(1)}), false, false, kNone},
        PairCase{"[] []", list_value({}), list_value({}), false, true, kNone},
        PairCase{"map same", map_value({{"a", I(1)}, {"b", list_value({})}}),
                 map_value({{"b", list_value({})}, {"a", I(1)}}), false, true, kNone},
        PairCase{"map other value", map_value({{"a", I(1)}}), map_value({{"a", I(2)}}), false, false, kNone},
        PairCase{"map other key", map_value({{"a", I(1)}}), map_value({{"b", I(1)}}), false, false, kNone},
        PairCase{"map subset", map_value({{"a", I(1)}}), map_value({{"a", I(1)}, {"b", I(1)}}), false, false,
                 kNone}),
    [](const ::testing::TestParamInfo<PairCase>& info) { return "case" + std::to_string(info.index); });

// ---- path lookup ----

std::vector<Str> keys(std::initializer_list<const char*> ks) { return {ks.begin(), ks.end()}; }

ValueMap sample_map() {
  ValueMap m;
  m.insert_or_assign("user", map_value({{"name", str_value("ann")}, {"tags", list_value({str_value("x")})},
                                        {"empty", map_value({})}, {"nothing", Value()}}));
  m.insert_or_assign("list", list_value({map_value({{"name", I(1)}})}));
  m.insert_or_assign("null", Value());
  return m;
}

struct LookupCase {
  std::vector<Str> path;
  const char* found;  // display of the value found, or nullptr for nothing
};

class LookupFromMapTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LookupFromMapTest, Table) {
  ValueMap m = sample_map();
  const Value* v = lookup_path(m, GetParam().path);
  if (GetParam().found == nullptr) {
    EXPECT_EQ(v, nullptr) << (v ? display(*v) : "");
  } else {
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(display(*v), GetParam().found);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LookupFromMapTest,
                         ::testing::Values(LookupCase{keys({}), nullptr}, LookupCase{keys({"user"}), "{4 fields}"},
                                           LookupCase{keys({"user", "name"}), "ann"},
                                           LookupCase{keys({"User"}), nullptr},
                                           LookupCase{keys({"user", "tags"}), "[1 items]"},
                                           LookupCase{keys({"user", "tags", "0"}), nullptr},
                                           LookupCase{keys({"list", "name"}), nullptr},
                                           LookupCase{keys({"list", "0"}), nullptr},
                                           LookupCase{keys({"user", "empty"}), "{0 fields}"},
                                           LookupCase{keys({"user", "empty", "x"}), nullptr},
                                           LookupCase{keys({"user", "nothing"}), "null"},
                                           LookupCase{keys({"user", "nothing", "x"}), nullptr},
                                           LookupCase{keys({"null"}), "null"},
                                           LookupCase{keys({"user", "name", "length"}), nullptr}));

TEST(LookupTest, EmptyMapFindsNothing) {
  ValueMap empty;
  EXPECT_EQ(lookup_path(empty, keys({"a"})), nullptr);
}

TEST(LookupTest, FromValue) {
  Value v = map_value({{"a", map_value({{"b", I(7)}})}});
  EXPECT_EQ(lookup_path(v, keys({})), &v);
  const Value* b = lookup_path(v, keys({"a", "b"}));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->as_int(), 7);
  EXPECT_EQ(lookup_path(v, keys({"b"})), nullptr);
  Value scalar = I(3);
  EXPECT_EQ(lookup_path(scalar, keys({})), &scalar);
  EXPECT_EQ(lookup_path(scalar, keys({"a"})), nullptr);
  Value empty = map_value({});
  EXPECT_EQ(lookup_path(empty, keys({"a"})), nullptr);
}

TEST(AsTextTest, OnlyStrings) {
  Value s = str_value("hi");
  ASSERT_NE(as_text(s), nullptr);
  EXPECT_EQ(*as_text(s), "hi");
  EXPECT_EQ(as_text(I(1)), nullptr);
  EXPECT_EQ(as_text(Value()), nullptr);
}

// ---- the whole-event map ----

TEST(EventMapTest, TypeAndTimestampReplaceHostFields) {
  Event e = make_event("tool_call", {{"type", I(7)}, {"timestamp", str_value("x")}, {"path", str_value("/etc")}},
                       1'699'920'000'123);
  Value m = event_map(e);
  ASSERT_TRUE(m.is_map());
  EXPECT_EQ(m.as_map().size(), 3u);
  EXPECT_TRUE(deep_equals(*m.as_map().find("type"), str_value("tool_call")));
  EXPECT_TRUE(deep_equals(*m.as_map().find("timestamp"), D(1'699'920'000'123)));
  EXPECT_EQ(display(*m.as_map().find("timestamp")), "19675d");
  EXPECT_TRUE(deep_equals(*m.as_map().find("path"), str_value("/etc")));
  // The event itself is unchanged.
  EXPECT_TRUE(deep_equals(*e.fields.find("type"), I(7)));
}

TEST(EventMapTest, NoFields) {
  Value m = event_map(make_event("ping"));
  EXPECT_EQ(m.as_map().size(), 2u);
}

// ---- copies and the map container ----

TEST(ValueCopyTest, CopiesAreDeep) {
  Value original = map_value({{"l", list_value({I(1)})}});
  Value copy = original;
  copy.as_map().find("l")->as_list().push_back(I(2));
  EXPECT_EQ(original.as_map().find("l")->as_list().size(), 1u);
  EXPECT_EQ(copy.as_map().find("l")->as_list().size(), 2u);
}

// Past the linear-search limit the map switches to a hash index; lookups,
// replacement, copies and iteration must see every entry exactly once.
TEST(ValueMapTest, GrowthPastLinearLimit) {
  ValueMap m;
  constexpr int kCount = 200;
  for (int i = 0; i < kCount; ++i) {
    m.insert_or_assign(Str("key" + std::to_string(i)), I(i));
    ASSERT_EQ(m.size(), static_cast<std::size_t>(i + 1));
    for (int j = 0; j <= i; ++j) {
      const Value* v = m.find("key" + std::to_string(j));
      ASSERT_NE(v, nullptr) << i << " " << j;
      ASSERT_EQ(v->as_int(), j);
    }
    ASSERT_FALSE(m.contains("key" + std::to_string(i + 1)));
  }
  for (int i = 0; i < kCount; i += 3) m.insert_or_assign(Str("key" + std::to_string(i)), I(-i));
  EXPECT_EQ(m.size(), static_cast<std::size_t>(kCount));

  ValueMap copy = m;
  ValueMap assigned;
  assigned.insert_or_assign("old", I(0));
  assigned = copy;
  ValueMap moved = std::move(copy);
  for (const ValueMap* map : {&m, &assigned, &moved}) {
    int visited = 0;
    for (const MapEntry& entry : *map) {
      ++visited;
      int i = std::stoi(entry.key.str().substr(3));
      EXPECT_EQ(entry.value.as_int(), i % 3 == 0 ? -i : i);
      EXPECT_EQ(map->find(entry.key.view()), &entry.value);
    }
    EXPECT_EQ(visited, kCount);
    EXPECT_FALSE(map->contains("old"));
  }
  // A copy grows independently of its source.
  moved.insert_or_assign("extra", I(1));
  EXPECT_TRUE(moved.contains("extra"));
  EXPECT_FALSE(m.contains("extra"));
}

TEST(ValueMapTest, KeysAreExactBytes) {
  ValueMap m;
  m.insert_or_assign("Key", I(1));
  m.insert_or_assign("key", I(2));
  m.insert_or_assign(Str(std::string_view("key\0", 4)), I(3));
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(m.find("key")->as_int(), 2);
  EXPECT_EQ(m.find("KEY"), nullptr);
}

}  // namespace
}  // namespace zelvo
