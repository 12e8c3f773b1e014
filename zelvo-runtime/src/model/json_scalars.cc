// Scalars and enumeration heads of the policy's JSON form.
#include <limits>

#include "model/json_record.h"

namespace zelvo::json {
namespace {

// A number where `expected` is wanted; anything else is the wrong type.
bool read_number(JsonReader& r, Number& n, std::string_view expected) {
  const int c = r.skip_ws();
  if (c == '-') {
    r.eat();
    return r.number(false, n);
  }
  if (c >= '0' && c <= '9') return r.number(true, n);
  return c < 0 ? r.peek_error(Errc::EofWhileParsingValue) : r.peek_invalid_type(expected);
}

Found unsigned_found(std::uint64_t v) {
  Found f;
  f.kind = Found::Kind::Unsigned;
  f.unsigned_value = v;
  return f;
}

Found signed_found(std::int64_t v) {
  Found f;
  f.kind = Found::Kind::Signed;
  f.signed_value = v;
  return f;
}

Found float_found(double v) {
  Found f;
  f.kind = Found::Kind::Float;
  f.float_value = v;
  return f;
}

// An unsigned integer no larger than `max`; faults are pinned at the end of
// the number.
bool read_unsigned(JsonReader& r, std::uint64_t max, std::string_view expected, std::uint64_t& out) {
  Number n;
  if (!read_number(r, n, expected)) return false;
  switch (n.kind) {
    case Number::Kind::U64:
      if (n.u <= max) {
        out = n.u;
        return true;
      }
      r.invalid_value(unsigned_found(n.u), expected);
      break;
    case Number::Kind::I64: r.invalid_value(signed_found(n.i), expected); break;
    case Number::Kind::F64: r.invalid_type(float_found(n.f), expected); break;
  }
  r.pin();
  return false;
}

}  // namespace

bool read_str(JsonReader& r, Str& out) {
  const int c = r.skip_ws();
  if (c != '"') return c < 0 ? r.peek_error(Errc::EofWhileParsingValue) : r.peek_invalid_type("a string");
  r.eat();
  std::string_view text;
  if (!r.string(text)) return false;
  out = Str(text);
  return true;
}

bool read_bool(JsonReader& r, bool& out) {
  const int c = r.skip_ws();
  if (c == 't') {
    r.eat();
    out = true;
    return r.ident("rue");
  }
  if (c == 'f') {
    r.eat();
    out = false;
    return r.ident("alse");
  }
  return c < 0 ? r.peek_error(Errc::EofWhileParsingValue) : r.peek_invalid_type("a boolean");
}

bool read_u32(JsonReader& r, std::uint32_t& out) {
  std::uint64_t v = 0;
  if (!read_unsigned(r, std::numeric_limits<std::uint32_t>::max(), "u32", v)) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool read_u64(JsonReader& r, std::uint64_t& out) {
  return read_unsigned(r, std::numeric_limits<std::uint64_t>::max(), "u64", out);
}

bool read_i64(JsonReader& r, std::int64_t& out) {
  Number n;
  if (!read_number(r, n, "i64")) return false;
  switch (n.kind) {
    case Number::Kind::U64:
      if (n.u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        out = static_cast<std::int64_t>(n.u);
        return true;
      }
      r.invalid_value(unsigned_found(n.u), "i64");
      break;
    case Number::Kind::I64: out = n.i; return true;
    case Number::Kind::F64: r.invalid_type(float_found(n.f), "i64"); break;
  }
  r.pin();
  return false;
}

bool read_f64(JsonReader& r, double& out) {
  Number n;
  if (!read_number(r, n, "f64")) return false;
  switch (n.kind) {
    case Number::Kind::U64: out = static_cast<double>(n.u); break;
    case Number::Kind::I64: out = static_cast<double>(n.i); break;
    case Number::Kind::F64: out = n.f; break;
  }
  return true;
}

bool read_unit(JsonReader& r) {
  const int c = r.skip_ws();
  if (c == 'n') {
    r.eat();
    return r.ident("ull");
  }
  return c < 0 ? r.peek_error(Errc::EofWhileParsingValue) : r.peek_invalid_type("unit");
}

// --- Enumeration heads ---------------------------------------------------------

namespace {

// The variant name as a string; an unknown name is pinned just after it.
bool variant_name(JsonReader& r, std::span<const std::string_view> names, int& index) {
  const int c = r.skip_ws();
  if (c != '"') return c < 0 ? r.peek_error(Errc::EofWhileParsingValue) : r.peek_invalid_type("variant identifier");
  r.eat();
  std::string_view name;
  if (!r.string(name)) return false;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) {
      index = static_cast<int>(i);
      return true;
    }
  }
  Fault f;
  f.code = Errc::UnknownVariant;
  f.name = name;
  f.variants = names;
  r.shape_error(std::move(f));
  r.pin();
  return false;
}

bool unit_variant_found(JsonReader& r, std::string_view expected) {
  Found f;
  f.kind = Found::Kind::UnitVariant;
  return r.invalid_type(std::move(f), expected);
}

}  // namespace

bool begin_variant(JsonReader& r, std::span<const std::string_view> names, VariantHead& head) {
  const int c = r.skip_ws();
  if (c == '"') {
    head.braced = false;
    return variant_name(r, names, head.index);
  }
  if (c != '{') return r.peek_error(c < 0 ? Errc::EofWhileParsingValue : Errc::ExpectedValue);
  if (!r.enter()) return false;
  r.eat();
  head.braced = true;
  return variant_name(r, names, head.index) && r.colon();
}

bool end_variant(JsonReader& r, const VariantHead& head) {
  if (!head.braced) return true;
  r.leave();
  const int c = r.skip_ws();
  if (c == '}') {
    r.eat();
    return true;
  }
  return r.error(c < 0 ? Errc::EofWhileParsingObject : Errc::ExpectedValue);
}

bool unit_payload(JsonReader& r, const VariantHead& head) { return !head.braced || read_unit(r); }

bool newtype_payload(JsonReader& r, const VariantHead& head) {
  return head.braced || unit_variant_found(r, "newtype variant");
}

bool struct_payload(JsonReader& r, const VariantHead& head) {
  return head.braced || unit_variant_found(r, "struct variant");
}

}  // namespace zelvo::json
