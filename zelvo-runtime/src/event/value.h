// Value: the one dynamic value type of the runtime.
//
// Event fields, context and configuration values, expression results and
// action arguments are all Values. A Value owns its whole tree: copying a
// Value copies every list element and map entry (string text is shared,
// since it is immutable; see Str). Moving is O(1).
//
// The operations at the bottom (display, truthy, loose_equals, deep_equals,
// partial_compare, lookup_path, as_text) never fail and never change their
// operands.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "event/cached_allocator.h"
#include "event/value_map.h"
#include "model/str.h"

namespace zelvo {

// Distinct payload type for Duration so that it cannot be confused with Int.
struct DurationMs {
  std::uint64_t ms = 0;
  friend bool operator==(DurationMs, DurationMs) = default;
};

using ValueList = std::vector<Value, CachedAllocator<Value>>;

class Value {
 public:
  // Variant order is significant: it is the declared order of the kinds.
  enum class Kind : std::uint8_t { Null, Bool, Int, Float, String, Duration, List, Map };

  // The factories build the payload in place (no temporary variant to move
  // from: a moved Str would be read back right after a partial write).
  Value() noexcept = default;  // Null
  static Value boolean(bool b) { return Value(std::in_place_index<1>, b); }
  static Value integer(std::int64_t i) { return Value(std::in_place_index<2>, i); }
  static Value floating(double d) { return Value(std::in_place_index<3>, d); }
  static Value string(const Str& s) { return Value(std::in_place_index<4>, s); }
  static Value string(Str&& s) { return Value(std::in_place_index<4>, std::move(s)); }
  static Value duration(std::uint64_t ms) { return Value(std::in_place_index<5>, DurationMs{ms}); }
  static Value list(ValueList items) { return Value(std::in_place_index<6>, std::move(items)); }
  static Value map(ValueMap entries) { return Value(std::in_place_index<7>, std::move(entries)); }

  // Replace this value in place (no temporary Value is built and moved).
  void assign_bool(bool b) noexcept { rep_.template emplace<1>(b); }
  void assign_int(std::int64_t i) noexcept { rep_.template emplace<2>(i); }
  void assign_float(double d) noexcept { rep_.template emplace<3>(d); }
  void assign_string(std::string_view text) { rep_.template emplace<4>(text); }
  void assign_str(const Str& s) { rep_.template emplace<4>(s); }  // shares a heap text
  void assign_str(Str&& s) noexcept { rep_.template emplace<4>(std::move(s)); }  // keeps a borrowed one
  void assign_duration(std::uint64_t ms) noexcept { rep_.template emplace<5>(DurationMs{ms}); }
  ValueList& assign_list() noexcept { return rep_.template emplace<6>(); }
  ValueMap& assign_map() noexcept { return rep_.template emplace<7>(); }
  // The list or map this value already holds, emptied with its storage
  // kept for refilling, or else a new empty one (as assign_list/_map).
  ValueList& reuse_list() noexcept {
    if (ValueList* list = std::get_if<6>(&rep_)) {
      list->clear();
      return *list;
    }
    return assign_list();
  }
  ValueMap& reuse_map() noexcept {
    if (ValueMap* map = std::get_if<7>(&rep_)) {
      map->clear();
      return *map;
    }
    return assign_map();
  }

  Kind kind() const noexcept { return static_cast<Kind>(rep_.index()); }
  bool is_null() const noexcept { return kind() == Kind::Null; }
  bool is_bool() const noexcept { return kind() == Kind::Bool; }
  bool is_int() const noexcept { return kind() == Kind::Int; }
  bool is_float() const noexcept { return kind() == Kind::Float; }
  bool is_string() const noexcept { return kind() == Kind::String; }
  bool is_duration() const noexcept { return kind() == Kind::Duration; }
  bool is_list() const noexcept { return kind() == Kind::List; }
  bool is_map() const noexcept { return kind() == Kind::Map; }

  // Accessors; the kind must match. Builds without NDEBUG (Debug, and the
  // sanitizer build) check it with an assertion; elsewhere a wrong kind is
  // undefined behaviour.
  bool as_bool() const noexcept { return *payload<1>(); }
  std::int64_t as_int() const noexcept { return *payload<2>(); }
  double as_float() const noexcept { return *payload<3>(); }
  const Str& as_string() const noexcept { return *payload<4>(); }
  std::uint64_t as_duration() const noexcept { return payload<5>()->ms; }
  const ValueList& as_list() const noexcept { return *payload<6>(); }
  ValueList& as_list() noexcept { return *payload<6>(); }
  const ValueMap& as_map() const noexcept { return *payload<7>(); }
  ValueMap& as_map() noexcept { return *payload<7>(); }

 private:
  using Rep = std::variant<std::monostate, bool, std::int64_t, double, Str, DurationMs, ValueList, ValueMap>;
  template <std::size_t I, typename... Args>
  explicit Value(std::in_place_index_t<I> tag, Args&&... args) : rep_(tag, std::forward<Args>(args)...) {}
  template <std::size_t I>
  const std::variant_alternative_t<I, Rep>* payload() const noexcept {
    assert(rep_.index() == I && "Value accessor used on a Value of another kind");
    return std::get_if<I>(&rep_);
  }
  template <std::size_t I>
  std::variant_alternative_t<I, Rep>* payload() noexcept {
    assert(rep_.index() == I && "Value accessor used on a Value of another kind");
    return std::get_if<I>(&rep_);
  }
  Rep rep_;
};

struct MapEntry {
  MapEntry(Str k, Value v) noexcept : key(std::move(k)), value(std::move(v)) {}
  // Builds the key in place from its text.
  MapEntry(std::string_view k, Value v) : key(k), value(std::move(v)) {}
  // The key built in place, holding Null (no Value moved in).
  explicit MapEntry(std::string_view k) : key(k) {}

  Str key;
  Value value;
};

inline Value& ValueMap::append_distinct(std::string_view key) {
  MapEntry& entry = entries_.emplace_back(key);
  if (entries_.size() > kLinearLimit) index_last();
  return entry.value;
}

inline MapEntry& ValueMap::entry_at(std::size_t i) noexcept { return entries_[i]; }
inline const MapEntry* ValueMap::begin() const noexcept { return entries_.data(); }
inline const MapEntry* ValueMap::end() const noexcept { return entries_.data() + entries_.size(); }
inline std::size_t ValueMap::size() const noexcept { return entries_.size(); }
inline bool ValueMap::empty() const noexcept { return entries_.empty(); }
inline void ValueMap::reserve(std::size_t n) { entries_.reserve(n); }
inline std::size_t ValueMap::capacity() const noexcept { return entries_.capacity(); }

enum class Ordering : std::uint8_t { Less, Equal, Greater, Incomparable };

// Display text: "null", "true", decimal integers, shortest round-trip floats
// without exponent ("1", "0.00000015", "-0", "inf", "NaN"), the text of a
// string, durations in their largest reached unit ("1s", "59m", "19675d"),
// "[N items]" for lists and "{N fields}" for maps.
std::string display(const Value& v);

// Truthiness: Null never; Bool its value; Int non-zero; Float != 0.0 (NaN is
// truthy, -0.0 is not); String, List, Map non-empty; Duration non-zero.
bool truthy(const Value& v) noexcept;

// Operator equality (Eq, Neq, In, literal case tests). The left operand's
// kind decides; Int/Float compare within an absolute epsilon of
// 2.220446049250313e-16; lists and maps are never equal, not even to
// themselves.
bool loose_equals(const Value& left, const Value& right) noexcept;

// Structural equality (Contains on lists): same kind, IEEE equality for
// floats, element-wise for lists, key-wise for maps.
bool deep_equals(const Value& left, const Value& right) noexcept;

// Ordering of numbers (Int/Float mixed), strings (bytes) and durations;
// everything else is Incomparable, NaN included.
Ordering partial_compare(const Value& left, const Value& right) noexcept;

// Path lookup. From a map: an empty path or an empty map finds nothing; the
// first key is looked up in the map, each further key must name an entry of
// a non-empty Map. From a value: an empty path finds the value itself.
// Returns a pointer into the searched structure, or nullptr for "nothing";
// the pointer is valid while the structure is unchanged.
const Value* lookup_path(const ValueMap& map, std::span<const Str> keys) noexcept;
const Value* lookup_path(const Value& value, std::span<const Str> keys) noexcept;

// The text of a String, or nullptr for every other kind.
inline const Str* as_text(const Value& v) noexcept { return v.is_string() ? &v.as_string() : nullptr; }

}  // namespace zelvo
