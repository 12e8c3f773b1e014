#include "json/utf8_check.h"

#include <cstdint>
#include <cstring>

namespace zelvo::json {

bool valid_utf8(std::string_view bytes) noexcept {
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p != end) {
    if (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & kHighs) == 0) {
        p += 8;
        continue;
      }
    }
    if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
      continue;
    }
    const std::ptrdiff_t n = utf8_sequence_size(p, end - p);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

}  // namespace zelvo::json
