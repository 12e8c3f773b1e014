#include "json/escape.h"

#include "json/text_run.h"
#include "model/utf8.h"

namespace zelvo::json {
namespace {

EscapeFault hex4(const char*& p, const char* end, std::uint32_t& out) {
  if (end - p < 4) {
    p = end;
    return EscapeFault::End;
  }
  std::uint32_t n = 0;
  for (int k = 0; k < 4; ++k) {
    const int v = hex_value(*p++);
    if (v < 0) return EscapeFault::InvalidEscape;
    n = (n << 4) | static_cast<std::uint32_t>(v);
  }
  out = n;
  return EscapeFault::None;
}

}  // namespace

EscapeFault unescape(const char*& p, const char* end, std::string& out) {
  if (p == end) return EscapeFault::End;
  switch (*p++) {
    case '"': out += '"'; return EscapeFault::None;
    case '\\': out += '\\'; return EscapeFault::None;
    case '/': out += '/'; return EscapeFault::None;
    case 'b': out += '\b'; return EscapeFault::None;
    case 'f': out += '\f'; return EscapeFault::None;
    case 'n': out += '\n'; return EscapeFault::None;
    case 'r': out += '\r'; return EscapeFault::None;
    case 't': out += '\t'; return EscapeFault::None;
    case 'u': break;
    default: return EscapeFault::InvalidEscape;
  }
  std::uint32_t high;
  if (const EscapeFault f = hex4(p, end, high); f != EscapeFault::None) return f;
  if (high >= 0xDC00 && high <= 0xDFFF) return EscapeFault::LoneLow;
  if (high < 0xD800 || high > 0xDBFF) {
    utf8::append(out, high);
    return EscapeFault::None;
  }
  for (const char expected : {'\\', 'u'}) {
    if (p == end) return EscapeFault::NoLowEnd;
    if (*p++ != expected) return EscapeFault::NoLow;
  }
  std::uint32_t low;
  if (const EscapeFault f = hex4(p, end, low); f != EscapeFault::None) return f;
  if (low < 0xDC00 || low > 0xDFFF) return EscapeFault::BadLow;
  utf8::append(out, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
  return EscapeFault::None;
}

EscapeFault check_escape(const char*& p, const char* end) {
  if (p == end) return EscapeFault::End;
  switch (*p++) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': return EscapeFault::None;
    case 'u': {
      std::uint32_t ignored;
      return hex4(p, end, ignored);
    }
    default: return EscapeFault::InvalidEscape;
  }
}

}  // namespace zelvo::json
