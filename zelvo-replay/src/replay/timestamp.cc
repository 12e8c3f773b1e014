#include "replay/timestamp.h"

namespace zelvo::replay {
namespace {

// Reads exactly `n` digits at `pos`.
bool digits(std::string_view text, std::size_t pos, std::size_t n, int& out) noexcept {
  if (pos + n > text.size()) return false;
  int v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

bool leap(int y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) noexcept {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
std::int64_t days_from_civil(int y, int m, int d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

std::optional<std::uint64_t> parse_rfc3339_ms(std::string_view t) noexcept {
  int year, month, day, hour, minute, second;
  if (!digits(t, 0, 4, year) || t.size() < 19 || t[4] != '-' || !digits(t, 5, 2, month) || t[7] != '-' ||
      !digits(t, 8, 2, day)) {
    return std::nullopt;
  }
  if (t[10] != 'T' && t[10] != 't' && t[10] != ' ') return std::nullopt;
  if (!digits(t, 11, 2, hour) || t[13] != ':' || !digits(t, 14, 2, minute) || t[16] != ':' ||
      !digits(t, 17, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  std::size_t pos = 19;
  std::int64_t millis = 0;
  if (pos < t.size() && t[pos] == '.') {
    ++pos;
    const std::size_t first = pos;
    int kept = 0;
    while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9') {
      if (kept < 3) {
        millis = millis * 10 + (t[pos] - '0');
        ++kept;
      }
      ++pos;
    }
    if (pos == first) return std::nullopt;
    for (; kept < 3; ++kept) millis *= 10;
  }
  if (pos >= t.size()) return std::nullopt;
  std::int64_t offset_min = 0;
  if (t[pos] == 'Z' || t[pos] == 'z') {
    ++pos;
  } else if (t[pos] == '+' || t[pos] == '-') {
    const int sign = t[pos] == '-' ? -1 : 1;
    int oh, om;
    if (!digits(t, pos + 1, 2, oh) || pos + 3 >= t.size() || t[pos + 3] != ':' || !digits(t, pos + 4, 2, om) ||
        oh > 23 || om > 59) {
      return std::nullopt;
    }
    offset_min = sign * (oh * 60 + om);
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != t.size()) return std::nullopt;
  const std::int64_t seconds =
      days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset_min * 60;
  const std::int64_t ms = seconds * 1000 + millis;
  if (ms < 0) return std::nullopt;
  return static_cast<std::uint64_t>(ms);
}

}  // namespace zelvo::replay
