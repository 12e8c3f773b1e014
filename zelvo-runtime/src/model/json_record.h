// Internal: the shapes the policy's JSON form is built from, as generic
// productions over JsonReader: records (object or array form), fixed-length
// arrays (pairs), lists, optional values, enumerations (a name string or a
// one-key object) and the scalars.
//
// Position rules shared by all of them: a shape fault raised inside a
// record or list is pinned after that record's or list's closing work (so a
// missing field is reported at its closing brace); scalars pin their own
// faults at the end of the value; enumerations never pin, so a fault inside
// one is pinned by the record or list around it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "model/json_reader.h"
#include "model/str.h"

namespace zelvo::json {

inline constexpr std::string_view kSequence = "a sequence";
inline constexpr std::string_view kPair = "a tuple of size 2";

// A record: its description in messages and its fields in declared order.
struct RecordDesc {
  std::string_view expecting;  // "struct CompiledRule", "struct variant IRExpr::Binary"
  std::span<const std::string_view> fields;
  std::uint32_t optional_mask = 0;  // bit i: field i may be absent

  int find(std::string_view key) const noexcept {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i] == key) return static_cast<int>(i);
    }
    return -1;
  }
};

// --- Scalars (each pins its own faults) --------------------------------------
bool read_str(JsonReader& r, Str& out);
bool read_bool(JsonReader& r, bool& out);
bool read_u32(JsonReader& r, std::uint32_t& out);
bool read_u64(JsonReader& r, std::uint64_t& out);
bool read_i64(JsonReader& r, std::int64_t& out);
bool read_f64(JsonReader& r, double& out);
bool read_unit(JsonReader& r);

// --- Lists and fixed arrays ----------------------------------------------------

// Shared failure path of arrays and objects: finish the closing work a
// well-formed input would have had, then pin.
inline bool fail_in_array(JsonReader& r) {
  if (!r.fault().positioned) {
    r.end_array_after_fault();
    r.pin();
  }
  return false;
}
inline bool fail_in_object(JsonReader& r) {
  if (!r.fault().positioned) {
    r.end_object_after_fault();
    r.pin();
  }
  return false;
}

// A list: `element()` decodes one element at the cursor.
template <typename ElementFn>
bool read_seq(JsonReader& r, ElementFn&& element) {
  const int c = r.skip_ws();
  if (c != '[') return c < 0 ? r.peek_error(Errc::EofWhileParsingValue) : r.peek_invalid_type(kSequence);
  if (!r.enter()) return false;
  r.eat();
  bool first = true;
  bool more = false;
  for (;;) {
    if (!r.next_element(first, more)) return fail_in_array(r);
    if (!more) break;
    if (!element()) return fail_in_array(r);
  }
  r.leave();
  return r.end_array();
}

// An array of exactly `count` elements: `element(i)` decodes element i.
// `expecting` describes the whole (for a record, its name; "with N
// elements" is added in the length message).
template <typename ElementFn>
bool read_fixed(JsonReader& r, std::string_view expecting, std::size_t count, bool is_record, ElementFn&& element) {
  const int c = r.skip_ws();
  if (c != '[') return c < 0 ? r.peek_error(Errc::EofWhileParsingValue) : r.peek_invalid_type(expecting);
  if (!r.enter()) return false;
  r.eat();
  bool first = true;
  bool more = false;
  for (std::size_t i = 0; i < count; ++i) {
    if (!r.next_element(first, more)) return fail_in_array(r);
    if (!more) {
      std::string text(expecting);
      if (is_record) text += " with " + std::to_string(count) + " elements";
      r.invalid_length(i, std::move(text));
      return fail_in_array(r);
    }
    if (!element(static_cast<int>(i))) return fail_in_array(r);
  }
  r.leave();
  return r.end_array();
}

// The members of a record's object form ('{' consumed, '}' not).
template <typename FieldFn>
bool read_members(JsonReader& r, const RecordDesc& d, FieldFn& field) {
  std::uint32_t seen = 0;
  bool first = true;
  bool more = false;
  std::string_view key;
  for (;;) {
    if (!r.next_key(first, more, key)) return false;
    if (!more) break;
    const int index = d.find(key);
    if (index < 0) {
      if (!r.colon() || !r.skip_value()) return false;
      continue;
    }
    const std::uint32_t bit = std::uint32_t{1} << index;
    if (seen & bit) return r.duplicate_field(d.fields[static_cast<std::size_t>(index)]);
    seen |= bit;
    if (!r.colon() || !field(index)) return false;
  }
  const std::uint32_t all = (std::uint32_t{1} << d.fields.size()) - 1;
  const std::uint32_t missing = all & ~seen & ~d.optional_mask;
  if (missing != 0) return r.missing_field(d.fields[static_cast<std::size_t>(__builtin_ctz(missing))]);
  return true;
}

// A record in object or array form: `field(i)` decodes field i at the
// cursor. Fields never named keep their default (absent) value.
template <typename FieldFn>
bool read_record(JsonReader& r, const RecordDesc& d, FieldFn&& field) {
  const int c = r.skip_ws();
  if (c == '[') return read_fixed(r, d.expecting, d.fields.size(), true, field);
  if (c != '{') return c < 0 ? r.peek_error(Errc::EofWhileParsingValue) : r.peek_invalid_type(d.expecting);
  if (!r.enter()) return false;
  r.eat();
  if (!read_members(r, d, field)) return fail_in_object(r);
  r.leave();
  return r.end_object();
}

// An optional value: null is absence, anything else goes to `present()`.
template <typename PresentFn>
bool read_optional(JsonReader& r, PresentFn&& present) {
  if (r.skip_ws() == 'n') {
    r.eat();
    return r.ident("ull");
  }
  return present();
}

// --- Enumerations ----------------------------------------------------------------

// The variant named at the start of an enumeration value.
struct VariantHead {
  int index = 0;
  bool braced = false;  // {"Name": payload} rather than "Name"
};

// Reads the variant name (and, in object form, the colon after it).
bool begin_variant(JsonReader& r, std::span<const std::string_view> names, VariantHead& head);
// Reads the closing brace of the object form.
bool end_variant(JsonReader& r, const VariantHead& head);
// The payload of a variant without one: null in object form.
bool unit_payload(JsonReader& r, const VariantHead& head);
// A variant with a payload or with named fields needs the object form.
bool newtype_payload(JsonReader& r, const VariantHead& head);
bool struct_payload(JsonReader& r, const VariantHead& head);

// A payload-free enumeration (Verdict, Severity, ...).
template <typename E, std::size_t N>
bool read_plain_enum(JsonReader& r, const std::array<std::string_view, N>& names, E& out) {
  VariantHead head;
  if (!begin_variant(r, names, head)) return false;
  out = static_cast<E>(head.index);
  return unit_payload(r, head) && end_variant(r, head);
}

}  // namespace zelvo::json
