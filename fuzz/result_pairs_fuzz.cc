// Fuzz target: the pairing of two replays' result lines.
//
// The input is split at its first 0xFF byte into the two streams. Beyond
// "no crash, no leak, no undefined behaviour" it checks that:
//   - the line counts are those of the non-blank lines of each stream;
//   - the reported positions ascend and lie below both counts;
//   - a stream paired with itself reports exactly its lines that lack one
//     of the fields compared (no pair of complete, equal lines is reported).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "replay/result_pairs.h"

namespace {

std::size_t non_blank_lines(std::string_view data) {
  std::size_t n = 0, pos = 0;
  while (pos < data.size()) {
    std::size_t end = data.find('\n', pos);
    if (end == std::string_view::npos) end = data.size();
    n += end > pos ? 1 : 0;
    pos = end + 1;
  }
  return n;
}

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = all.find('\xFF');
  const std::string_view before = all.substr(0, cut);
  const std::string_view after = cut == std::string_view::npos ? std::string_view() : all.substr(cut + 1);

  const zelvo::replay::ResultPairs pairs = zelvo::replay::pair_results(before, after);
  check(pairs.before_lines == non_blank_lines(before));
  check(pairs.after_lines == non_blank_lines(after));
  for (std::size_t i = 0; i < pairs.reported.size(); ++i) {
    check(pairs.reported[i] < pairs.before_lines && pairs.reported[i] < pairs.after_lines);
    check(i == 0 || pairs.reported[i - 1] < pairs.reported[i]);
  }

  const zelvo::replay::ResultPairs same = zelvo::replay::pair_results(before, before);
  check(same.before_lines == same.after_lines);
  for (std::size_t at : same.reported) {
    // Only an incomplete line can be reported against itself.
    std::size_t pos = 0, seen = 0;
    std::string_view line;
    while (pos < before.size()) {
      std::size_t end = before.find('\n', pos);
      if (end == std::string_view::npos) end = before.size();
      if (end > pos && seen++ == at) {
        line = before.substr(pos, end - pos);
        break;
      }
      pos = end + 1;
    }
    const zelvo::replay::ResultPairs one = zelvo::replay::pair_results(line, line);
    check(one.reported.size() == 1);
  }
  return 0;
}
