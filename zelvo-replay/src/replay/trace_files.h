// TraceFiles: the files a trace was joined from, so that a line numbered
// through the whole trace is named by its file and its line in that file.
//
// The caller gives each file's name and the number, through the whole
// trace, of its first line, in ascending order. A number before the first
// file's first line belongs to the first file and keeps its number. Without
// files (empty), a line keeps its number and has no file. Cost: a binary
// search per lookup.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo::replay {

struct FileLine {
  std::string_view file;  // empty when the trace names no files
  std::uint64_t line = 0;
};

class TraceFiles {
 public:
  // Adds the next file; false (nothing added) when `first_line` is below the
  // previous file's.
  bool add(std::string name, std::uint64_t first_line) {
    if (!first_lines_.empty() && first_line < first_lines_.back()) return false;
    names_.push_back(std::move(name));
    first_lines_.push_back(first_line);
    return true;
  }

  bool empty() const noexcept { return names_.empty(); }

  FileLine locate(std::uint64_t number) const noexcept {
    if (names_.empty()) return {{}, number};
    auto it = std::upper_bound(first_lines_.begin(), first_lines_.end(), number);
    const std::size_t i = it == first_lines_.begin() ? 0 : static_cast<std::size_t>(it - first_lines_.begin()) - 1;
    return {names_[i], number >= first_lines_[i] ? number - first_lines_[i] + 1 : number};
  }

  // "FILE:LINE", or "line N" without files.
  std::string where(std::uint64_t number) const {
    const FileLine at = locate(number);
    if (names_.empty()) return "line " + std::to_string(at.line);
    return std::string(at.file) + ":" + std::to_string(at.line);
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::uint64_t> first_lines_;
};

}  // namespace zelvo::replay
