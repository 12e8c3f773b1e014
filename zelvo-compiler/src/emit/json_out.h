// JsonOut: a small writer of JSON text, in one of two layouts.
//
// The policy writer (policy_json.h) drives it record by record. It writes
// exactly what it is told: keys in call order, strings escaped (quote,
// backslash and the control characters U+0000 to U+001F; every other byte,
// UTF-8 included, is copied), integers in decimal, floats as the shortest
// text that reads back as the same double. Cost: linear in the output;
// the text is appended to one std::string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo::lang {

enum class JsonLayout : std::uint8_t {
  Compact,   // no whitespace at all: {"a":[1,2]}
  Indented,  // two spaces per level, one member or element a line; empty
             // arrays and objects stay "[]" and "{}"
};

class JsonOut {
 public:
  explicit JsonOut(JsonLayout layout = JsonLayout::Compact) : layout_(layout) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // The key of the next member of the open object. `name` is written as it
  // is: a field name of the model, which needs no escape.
  void key(std::string_view name);

  void string(std::string_view text);
  void integer(std::int64_t value);
  void unsigned_integer(std::uint64_t value);
  // `value` must be finite (the model holds only finite floats). Written
  // with a decimal point or an exponent, so that it reads as a float:
  // 2.0 gives "2.0", 0.1 gives "0.1", 1e300 gives "1e+300".
  void floating(double value);
  void boolean(bool value);
  void null();

  // The text written so far; complete once every open array and object is
  // closed.
  const std::string& text() const& noexcept { return out_; }
  std::string take() && { return std::move(out_); }

 private:
  void open(char bracket);
  void close(char bracket);
  // Separator and indentation before a value (not after a key).
  void before_value();
  void newline_indent();

  JsonLayout layout_;
  std::string out_;
  // One entry per open array or object: whether it holds an element yet.
  std::vector<unsigned char> nonempty_;
  bool after_key_ = false;
};

}  // namespace zelvo::lang
