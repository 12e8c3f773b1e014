// CompactJson: the value calls of json::Writer (begin_object, key, string,
// ...) for the compact layout only, written as the writer's pieces.
//
// Compact text needs no stack of open containers: a comma goes before a
// key or value exactly when a value ended last, so one flag is all the
// state. A key given as a string literal is written with its quotes, colon
// and comma in one piece. The text is byte for byte what json::Writer
// writes in Layout::Compact with the same float style (compact_json_test
// drives both with the same calls).
//
// Cost: one or two pieces per call; no allocation beyond the text's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "json/writer.h"

namespace zelvo::lang {

class CompactJson {
 public:
  explicit CompactJson(json::FloatStyle floats) : out_({.layout = json::Layout::Compact, .floats = floats}) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // A key known at compile time: comma, quotes and colon in one piece.
  template <std::size_t N>
  void key(const char (&name)[N]) {
    char piece[N + 3];
    std::size_t n = 0;
    if (comma_) piece[n++] = ',';
    piece[n++] = '"';
    std::memcpy(piece + n, name, N - 1);
    n += N - 1;
    piece[n++] = '"';
    piece[n++] = ':';
    out_.raw(std::string_view(piece, n));
    comma_ = false;
  }
  // Like json::Writer::key, written as it is: a name the program spells.
  void key(std::string_view name) {
    if (comma_) out_.ch(',');
    out_.ch('"');
    out_.raw(name);
    out_.raw("\":");
    comma_ = false;
  }

  void string(std::string_view text) {
    before_value();
    out_.quoted(text);
  }
  void integer(std::int64_t value) {
    before_value();
    out_.i64(value);
  }
  void unsigned_integer(std::uint64_t value) {
    before_value();
    out_.u64(value);
  }
  void floating(double value) {
    before_value();
    out_.f64(value);
  }
  void boolean(bool value) {
    before_value();
    out_.raw(value ? std::string_view("true") : std::string_view("false"));
  }
  void null() {
    before_value();
    out_.raw("null");
  }

  std::string take() && { return std::move(out_).take(); }

 private:
  void before_value() {
    if (comma_) out_.ch(',');
    comma_ = true;
  }
  void open(char bracket) {
    if (comma_) out_.ch(',');
    out_.ch(bracket);
    comma_ = false;
  }
  void close(char bracket) {
    out_.ch(bracket);
    comma_ = true;
  }

  json::Writer out_;
  bool comma_ = false;  // a value ended last: the next key or value needs a comma
};

}  // namespace zelvo::lang
