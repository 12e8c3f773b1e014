// bytes_equal: exact byte equality tuned for the short texts that keys,
// event types and most string values are.
//
// Equal to `a == b` on string views. It rejects on length, then on the last
// and first bytes (texts that share a prefix, such as "tool_1" and
// "tool_2", usually differ at the end) before calling memcmp; texts of up
// to 16 bytes are compared inline without a library call.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace zelvo {

inline bool bytes_equal(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n == 0) return true;
  const char* p = a.data();
  const char* q = b.data();
  if (p[n - 1] != q[n - 1] || p[0] != q[0]) return false;
  if (n <= 16) {
    for (std::size_t i = 1; i + 1 < n; ++i) {
      if (p[i] != q[i]) return false;
    }
    return true;
  }
  return std::memcmp(p, q, n) == 0;
}

}  // namespace zelvo
