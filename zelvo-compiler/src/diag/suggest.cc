#include "diag/suggest.h"

#include <algorithm>

namespace zelvo::lang {

std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t limit) {
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  if ((n > m ? n - m : m - n) > limit) return limit + 1;
  if (n > 64 || m > 64) return a == b ? 0 : limit + 1;  // names, not texts
  std::vector<std::size_t> prev2(m + 1), prev(m + 1), cur(m + 1);
  for (std::size_t j = 0; j <= m; ++j) prev[j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    cur[0] = i;
    std::size_t row_min = cur[0];
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) cur[j] = std::min(cur[j], prev2[j - 2] + 1);
      row_min = std::min(row_min, cur[j]);
    }
    if (row_min > limit) return limit + 1;
    prev2 = prev;
    prev = cur;
  }
  return std::min(prev[m], limit + 1);
}

namespace {

template <typename Range>
std::string nearest_in(std::string_view name, const Range& candidates) {
  const std::size_t limit = std::clamp<std::size_t>(name.size() / 3, 1, 3);
  std::size_t best = limit + 1;
  std::string_view found;
  for (const auto& c : candidates) {
    const std::string_view cv(c);
    if (cv == name) continue;
    const std::size_t d = edit_distance(name, cv, limit);
    if (d < best) {
      best = d;
      found = cv;
    }
  }
  return std::string(found);
}

}  // namespace

std::string nearest(std::string_view name, std::span<const std::string_view> candidates) {
  return nearest_in(name, candidates);
}

std::string nearest(std::string_view name, const std::vector<std::string>& candidates) {
  return nearest_in(name, candidates);
}

}  // namespace zelvo::lang
