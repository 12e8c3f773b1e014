// Test helpers for evaluator suites: evaluation in a scope and an exact
// comparison of Values (same kind and structurally equal) with a readable
// rendering on failure.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "builders.h"
#include "eval/eval.h"
#include "event/value.h"

namespace zelvo::test {

inline const char* kind_name(Value::Kind k) {
  static constexpr const char* kNames[] = {"Null", "Bool", "Int", "Float", "String", "Duration", "List", "Map"};
  return kNames[static_cast<int>(k)];
}

// Kind(display) with list elements and map entries spelled out.
inline std::string render(const Value& v) {
  std::string out = kind_name(v.kind());
  if (v.is_list()) {
    out += "[";
    bool first = true;
    for (const Value& e : v.as_list()) {
      out += first ? "" : ", ";
      out += render(e);
      first = false;
    }
    return out + "]";
  }
  if (v.is_map()) {
    out += "{";
    bool first = true;
    for (const MapEntry& e : v.as_map()) {
      out += first ? "" : ", ";
      out += e.key.str() + ": " + render(e.value);
      first = false;
    }
    return out + "}";
  }
  return out + "(" + display(v) + ")";
}

// Same kind and deep_equals; Null equals Null.
inline ::testing::AssertionResult same_value(const Value& actual, const Value& expected) {
  const bool same = actual.kind() == expected.kind() && (actual.is_null() || deep_equals(actual, expected));
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << render(actual) << ", expected " << render(expected);
}

inline Value eval_in(const Scope& scope, const IRExpr& e) { return eval_expr(e, scope.ctx()); }

}  // namespace zelvo::test
