#include "replay/result_pairs.h"

namespace zelvo::replay {
namespace {

// The non-blank lines of a stream, one at a time.
class Lines {
 public:
  explicit Lines(std::string_view data) noexcept : data_(data) {}
  bool next(std::string_view& line) noexcept {
    while (pos_ < data_.size()) {
      std::size_t end = data_.find('\n', pos_);
      if (end == std::string_view::npos) end = data_.size();
      line = data_.substr(pos_, end - pos_);
      pos_ = end + 1;
      if (!line.empty()) return true;
    }
    return false;
  }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

// What a pair is compared on; empty views where a field is missing.
struct Key {
  std::string_view line;
  std::string_view verdict;
  std::string_view rules;
  bool complete = false;
};

// The text from just after `open` up to (not including) the first `close`
// after it, searching from `from`; `from` moves past `close`.
std::string_view between(std::string_view text, std::string_view open, char close, std::size_t& from) noexcept {
  const std::size_t start = text.find(open, from);
  if (start == std::string_view::npos) return {};
  const std::size_t begin = start + open.size();
  const std::size_t end = text.find(close, begin);
  if (end == std::string_view::npos) return {};
  from = end + 1;
  return text.substr(begin, end - begin);
}

Key key_of(std::string_view line) noexcept {
  constexpr std::string_view kLine = "{\"line\": ";
  Key key;
  if (!line.starts_with(kLine)) return key;
  std::size_t from = 0;
  key.line = between(line, kLine, ',', from);
  if (key.line.empty()) return key;
  key.verdict = between(line, "\"result\": {\"verdict\": \"", '"', from);
  if (key.verdict.empty()) return key;
  const std::size_t rules_from = from;
  key.rules = between(line, "\"triggered_rules\": [", ']', from);
  // An empty list is a found field: tell it from a missing one.
  key.complete = from != rules_from;
  return key;
}

bool alike(const Key& a, const Key& b) noexcept {
  return a.complete && b.complete && a.line == b.line && a.verdict == b.verdict && a.rules == b.rules;
}

std::size_t count_lines(Lines lines) noexcept {
  std::size_t n = 0;
  std::string_view line;
  while (lines.next(line)) ++n;
  return n;
}

}  // namespace

ResultPairs pair_results(std::string_view before, std::string_view after) {
  ResultPairs out;
  Lines b(before), a(after);
  std::string_view bl, al;
  std::size_t index = 0;
  for (;; ++index) {
    const bool has_b = b.next(bl);
    const bool has_a = has_b && a.next(al);
    if (!has_b || !has_a) {
      out.before_lines = index + (has_b ? 1 + count_lines(b) : 0);
      out.after_lines = index + count_lines(a);
      return out;
    }
    if (!alike(key_of(bl), key_of(al))) out.reported.push_back(index);
  }
}

}  // namespace zelvo::replay
