// Whitespace between the tokens of a JSON text: space, tab, LF and CR.
#pragma once

namespace zelvo::json {

// Moves `p` past whitespace; the next byte (not consumed) or -1 at `end`.
inline int skip_ws(const char*& p, const char* end) noexcept {
  while (p != end) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c > ' ' || (c != ' ' && c != '\n' && c != '\t' && c != '\r')) return c;
    ++p;
  }
  return -1;
}

}  // namespace zelvo::json
