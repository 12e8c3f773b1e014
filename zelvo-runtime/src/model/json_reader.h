// Internal: the decoder's low-level reader over one JSON text.
//
// It owns the cursor, the nesting counter and the first fault, and builds
// the decoder's tokens on the runtime's JSON layer (json/: whitespace, plain
// runs of strings, escapes and surrogate pairs, UTF-8, the number grammar,
// the depth limit): literals, strings, numbers, the punctuation of arrays
// and objects, and the skipping of values nobody asked for, each with the
// decoder's own faults. It knows nothing of the policy's
// records; the productions in json_*.cc build those on top of it.
//
// Every operation that can fail returns false after recording a fault; the
// caller returns false straight away. Positions follow two rules: error()
// reports the offset of the cursor (everything consumed so far), peek_error()
// reports the offset just past the byte under the cursor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/depth.h"
#include "json/utf8_check.h"
#include "json/whitespace.h"
#include "model/json_error.h"

namespace zelvo::json {

// A number as read: an integer that fits u64 or i64 keeps its exact value,
// anything else (fraction, exponent, too many digits, -0) is a double.
struct Number {
  enum class Kind : std::uint8_t { U64, I64, F64 };
  Kind kind = Kind::U64;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
};

class JsonReader {
 public:

  JsonReader(std::string_view input, bool check_utf8) noexcept
      : begin_(input.data()), cur_(input.data()), end_(input.data() + input.size()), check_utf8_(check_utf8) {}

  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // --- Cursor -------------------------------------------------------------
  // Skips whitespace; returns the next byte (not consumed) or -1 at the end.
  int skip_ws() noexcept { return json::skip_ws(cur_, end_); }
  void eat() noexcept { ++cur_; }
  std::size_t offset() const noexcept { return static_cast<std::size_t>(cur_ - begin_); }

  // --- Faults -------------------------------------------------------------
  bool error(Errc code);       // at the cursor
  bool peek_error(Errc code);  // just past the byte under the cursor
  // A shape fault whose position is pinned later by the enclosing production.
  bool shape_error(Fault fault);
  bool missing_field(std::string_view name);
  bool duplicate_field(std::string_view name);
  bool invalid_length(std::size_t length, std::string expected);
  bool invalid_type(Found found, std::string_view expected);
  bool invalid_value(Found found, std::string_view expected);
  // Pins an unpositioned fault to the cursor.
  void pin() noexcept;
  // Describes the value at the cursor as the wrong type for `expected`
  // (reading past it as far as needed). Always returns false.
  bool peek_invalid_type(std::string_view expected);
  const Fault& fault() const noexcept { return fault_; }
  std::string_view input() const noexcept { return {begin_, static_cast<std::size_t>(end_ - begin_)}; }

  // --- Nesting ------------------------------------------------------------
  // Takes one level for the bracket under the cursor (not consumed); see
  // json/depth.h for the limit.
  bool enter() {
    if (!can_open(open_)) return peek_error(Errc::RecursionLimitExceeded);
    ++open_;
    return true;
  }
  void leave() noexcept { --open_; }

  // --- Tokens -------------------------------------------------------------
  // The rest of true/false/null after its first byte was consumed.
  bool ident(std::string_view rest);
  // A string whose opening quote was consumed. `out` stays valid until the
  // next string is read.
  bool string(std::string_view& out);
  // A number whose leading '-' (if any) was consumed; the cursor is on the
  // first digit.
  bool number(bool positive, Number& out);
  // Skips one well-formed value without taking nesting levels.
  bool skip_value();

  // --- Arrays and objects -------------------------------------------------
  // Moves to the next element of an array ('[' consumed). `more` is false at
  // the closing bracket (not consumed).
  bool next_element(bool& first, bool& more);
  // Consumes the closing bracket of an array whose elements are all read.
  bool end_array();
  // Moves to the next key of an object ('{' consumed) and reads it. `more`
  // is false at the closing brace (not consumed).
  bool next_key(bool& first, bool& more, std::string_view& key);
  bool colon();
  bool end_object();
  // What end_array/end_object consume after a failure inside, before the
  // failure is pinned; their own faults are not reported.
  void end_array_after_fault() noexcept;
  void end_object_after_fault() noexcept;

  // At the end of the root value: only whitespace may follow.
  bool end_root();

 private:
  static constexpr int kClosed = -2;
  static constexpr int kFault = -3;
  int next_item(int close, Errc comma_or_end, Errc eof, bool& first);
  bool escape();
  bool skip_string();
  bool skip_escape();
  bool skip_number();
  bool number_tail(const char* start, const char* stop, Number& out);

  const char* begin_;
  const char* cur_;
  const char* end_;
  bool check_utf8_;
  int open_ = 0;  // arrays and objects open
  Fault fault_;
  std::string scratch_;     // decoded text of a string with escapes
  std::string skip_stack_;  // open brackets while skipping a value
};

}  // namespace zelvo::json
