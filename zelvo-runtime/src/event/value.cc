// Truthiness, the two equalities, ordering and path lookup of Value.
// Display text lives in value_display.cc.
#include "event/value.h"


#include <cmath>
#include <cstddef>
#include <limits>

namespace zelvo {

namespace {

// Operator equality of numbers is absolute: |a - b| < machine epsilon. For
// magnitudes of 1 or more this means identity; NaN (and inf - inf) fails it.
constexpr double kLooseEpsilon = std::numeric_limits<double>::epsilon();
static_assert(kLooseEpsilon == 2.220446049250313e-16);

bool close_enough(double a, double b) noexcept { return std::fabs(a - b) < kLooseEpsilon; }

template <typename T>
Ordering order_of(T a, T b) noexcept {
  if (a < b) return Ordering::Less;
  if (b < a) return Ordering::Greater;
  return Ordering::Equal;
}

// IEEE order; NaN on either side makes the pair incomparable.
Ordering order_doubles(double a, double b) noexcept {
  if (std::isnan(a) || std::isnan(b)) return Ordering::Incomparable;
  return order_of(a, b);
}

Ordering order_strings(const Str& a, const Str& b) noexcept {
  int c = a.view().compare(b.view());  // char_traits<char>: unsigned bytes
  if (c < 0) return Ordering::Less;
  if (c > 0) return Ordering::Greater;
  return Ordering::Equal;
}

bool deep_equal_lists(const ValueList& a, const ValueList& b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!deep_equals(a[i], b[i])) return false;
  }
  return true;
}

bool deep_equal_maps(const ValueMap& a, const ValueMap& b) noexcept {
  if (a.size() != b.size()) return false;
  for (const MapEntry& entry : a) {
    const Value* other = b.find(entry.key.view());
    if (other == nullptr || !deep_equals(entry.value, *other)) return false;
  }
  return true;
}

// One step of a path: the current value must be a non-empty Map holding
// `key`.
const Value* step(const Value* current, const Str& key) noexcept {
  if (!current->is_map()) return nullptr;
  const ValueMap& map = current->as_map();
  if (map.empty()) return nullptr;
  return map.find_str(key);
}

}  // namespace

bool truthy(const Value& v) noexcept {
  switch (v.kind()) {
    case Value::Kind::Null: return false;
    case Value::Kind::Bool: return v.as_bool();
    case Value::Kind::Int: return v.as_int() != 0;
    case Value::Kind::Float: return v.as_float() != 0.0;  // NaN != 0.0 holds
    case Value::Kind::String: return !v.as_string().empty();
    case Value::Kind::Duration: return v.as_duration() != 0;
    case Value::Kind::List: return !v.as_list().empty();
    case Value::Kind::Map: return !v.as_map().empty();
  }
  return false;
}

bool loose_equals(const Value& left, const Value& right) noexcept {
  using K = Value::Kind;
  switch (left.kind()) {
    case K::Null: return right.is_null();
    case K::Bool: return right.is_bool() && left.as_bool() == right.as_bool();
    case K::Int:
      if (right.is_int()) return left.as_int() == right.as_int();
      if (right.is_float()) return close_enough(static_cast<double>(left.as_int()), right.as_float());
      return false;
    case K::Float:
      if (right.is_float()) return close_enough(left.as_float(), right.as_float());
      if (right.is_int()) return close_enough(left.as_float(), static_cast<double>(right.as_int()));
      return false;
    case K::String: return right.is_string() && same_text(left.as_string(), right.as_string());
    case K::Duration: return right.is_duration() && left.as_duration() == right.as_duration();
    case K::List:
    case K::Map: return false;
  }
  return false;
}

bool deep_equals(const Value& left, const Value& right) noexcept {
  using K = Value::Kind;
  if (left.kind() != right.kind()) return false;
  switch (left.kind()) {
    case K::Null: return true;
    case K::Bool: return left.as_bool() == right.as_bool();
    case K::Int: return left.as_int() == right.as_int();
    case K::Float: return left.as_float() == right.as_float();
    case K::String: return same_text(left.as_string(), right.as_string());
    case K::Duration: return left.as_duration() == right.as_duration();
    case K::List: return deep_equal_lists(left.as_list(), right.as_list());
    case K::Map: return deep_equal_maps(left.as_map(), right.as_map());
  }
  return false;
}

Ordering partial_compare(const Value& left, const Value& right) noexcept {
  using K = Value::Kind;
  switch (left.kind()) {
    case K::Int:
      if (right.is_int()) return order_of(left.as_int(), right.as_int());
      if (right.is_float()) return order_doubles(static_cast<double>(left.as_int()), right.as_float());
      return Ordering::Incomparable;
    case K::Float:
      if (right.is_float()) return order_doubles(left.as_float(), right.as_float());
      if (right.is_int()) return order_doubles(left.as_float(), static_cast<double>(right.as_int()));
      return Ordering::Incomparable;
    case K::String:
      return right.is_string() ? order_strings(left.as_string(), right.as_string()) : Ordering::Incomparable;
    case K::Duration:
      return right.is_duration() ? order_of(left.as_duration(), right.as_duration()) : Ordering::Incomparable;
    case K::Null:
    case K::Bool:
    case K::List:
    case K::Map: return Ordering::Incomparable;
  }
  return Ordering::Incomparable;
}

const Value* lookup_path(const ValueMap& map, std::span<const Str> keys) noexcept {
  if (keys.empty() || map.empty()) return nullptr;
  const Value* current = map.find_str(keys.front());
  for (std::size_t i = 1; current != nullptr && i < keys.size(); ++i) current = step(current, keys[i]);
  return current;
}

const Value* lookup_path(const Value& value, std::span<const Str> keys) noexcept {
  const Value* current = &value;
  for (std::size_t i = 0; current != nullptr && i < keys.size(); ++i) current = step(current, keys[i]);
  return current;
}

}  // namespace zelvo
