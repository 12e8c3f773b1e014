// The kind check of Value's accessors, in builds that keep assertions.
#include <gtest/gtest.h>

#include <functional>

#include "event/value.h"

namespace zelvo {
namespace {

struct AccessorCase {
  const char* name;
  Value value;                                  // of another kind than the accessor reads
  std::function<void(const Value&)> access;
};

TEST(ValueAccessorDeathTest, ReadingAnotherKindFailsTheAssertion) {
#ifdef NDEBUG
  GTEST_SKIP() << "assertions are compiled out (NDEBUG); they run in Debug builds and in the sanitizer build "
                  "(scripts/test_sanitizers.sh)";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const AccessorCase cases[] = {
      {"as_bool of Null", Value(), [](const Value& v) { static_cast<void>(v.as_bool()); }},
      {"as_int of Float", Value::floating(1.0), [](const Value& v) { static_cast<void>(v.as_int()); }},
      {"as_float of Int", Value::integer(1), [](const Value& v) { static_cast<void>(v.as_float()); }},
      {"as_string of Duration", Value::duration(1), [](const Value& v) { static_cast<void>(v.as_string()); }},
      {"as_duration of Int", Value::integer(1), [](const Value& v) { static_cast<void>(v.as_duration()); }},
      {"as_list of Map", Value::map(ValueMap()), [](const Value& v) { static_cast<void>(v.as_list()); }},
      {"as_map of List", Value::list(ValueList()), [](const Value& v) { static_cast<void>(v.as_map()); }},
  };
  for (const AccessorCase& c : cases) {
    EXPECT_DEATH(c.access(c.value), "Value accessor used on a Value of another kind") << c.name;
  }
  // The right kind passes.
  EXPECT_EQ(Value::integer(7).as_int(), 7);
  EXPECT_TRUE(Value::boolean(true).as_bool());
#endif
}

}  // namespace
}  // namespace zelvo
