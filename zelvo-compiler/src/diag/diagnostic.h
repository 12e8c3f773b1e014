// Diagnostic: one finding of the compiler or the checker, with its place
// in the source, and render(), the one place that turns it into text.
//
// Messages and hints come from the table of diag/messages.h; nothing else
// writes diagnostic text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvo::lang {

enum class Level : std::uint8_t { Error, Warning };

struct Diagnostic {
  Level level = Level::Error;
  std::string code;       // stable code, e.g. "unknown-method" (see diag/messages.h)
  std::string file;
  std::uint32_t line = 1;    // 1-based
  std::uint32_t column = 1;  // 1-based, in characters (code points) of the line
  std::string message;    // e.g. unknown method "startswith"
  std::string hint;       // "" or e.g. did you mean "starts_with"?
  std::string line_text;  // the source line (valid UTF-8, at most kMaxExcerptBytes), for the excerpt
  // The column of line_text's first character: 1 unless a long line was
  // cut to the part around `column`.
  std::uint32_t line_text_column = 1;
};

// The excerpt keeps at most this many bytes of a line (cut at a character
// boundary, around the column when the line is longer).
inline constexpr std::size_t kMaxExcerptBytes = 200;

// The text of one diagnostic, ending with a line feed:
//
//   policy.zelvo:3:14: error: unknown method "startswith"
//       3 |   when event.cmd.startswith("rm")
//         |                  ^
//     hint: did you mean "starts_with"?
//
// The excerpt and caret lines are left out when line_text is empty; the
// hint line when hint is empty. Tabs in the excerpt are shown as one space
// so that the caret lines up.
std::string render(const Diagnostic& d);

// render() of each, concatenated.
std::string render_all(const std::vector<Diagnostic>& ds);

// True when some diagnostic is an error.
bool has_errors(const std::vector<Diagnostic>& ds);

}  // namespace zelvo::lang
