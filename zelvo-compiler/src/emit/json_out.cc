#include "emit/json_out.h"

#include <array>
#include <charconv>
#include <cmath>

namespace zelvo::lang {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Bytes that JSON strings must escape: quote, backslash, U+0000-U+001F.
constexpr auto kNeedsEscape = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

void append_escaped(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!kNeedsEscape[c]) continue;
    out.append(text, run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(text, run, std::string_view::npos);
  out.push_back('"');
}

}  // namespace

void JsonOut::newline_indent() {
  out_.push_back('\n');
  out_.append(2 * nonempty_.size(), ' ');
}

void JsonOut::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (nonempty_.empty()) return;
  if (nonempty_.back()) out_.push_back(',');
  nonempty_.back() = true;
  if (layout_ == JsonLayout::Indented) newline_indent();
}

void JsonOut::open(char bracket) {
  before_value();
  out_.push_back(bracket);
  nonempty_.push_back(false);
}

void JsonOut::close(char bracket) {
  const bool had_elements = nonempty_.back();
  nonempty_.pop_back();
  if (had_elements && layout_ == JsonLayout::Indented) newline_indent();
  out_.push_back(bracket);
}

void JsonOut::key(std::string_view name) {
  before_value();
  out_.push_back('"');
  out_ += name;
  out_ += layout_ == JsonLayout::Indented ? "\": " : "\":";
  after_key_ = true;
}

void JsonOut::string(std::string_view text) {
  before_value();
  append_escaped(out_, text);
}

void JsonOut::integer(std::int64_t value) {
  before_value();
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, res.ptr);
}

void JsonOut::unsigned_integer(std::uint64_t value) {
  before_value();
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, res.ptr);
}

void JsonOut::floating(double value) {
  before_value();
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  const std::string_view digits(buf, static_cast<std::size_t>(res.ptr - buf));
  out_ += digits;
  // "2" would read back as a float too, but says "integer" to a reader.
  if (std::isfinite(value) && digits.find_first_of(".e") == std::string_view::npos) out_ += ".0";
}

void JsonOut::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
}

void JsonOut::null() {
  before_value();
  out_ += "null";
}

}  // namespace zelvo::lang
