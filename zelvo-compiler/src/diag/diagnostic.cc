#include "diag/diagnostic.h"

#include <string>

namespace zelvo::lang {

namespace {

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

}  // namespace

std::string render(const Diagnostic& d) {
  std::string out;
  out += d.file;
  out += ':' + std::to_string(d.line) + ':' + std::to_string(d.column) + ": ";
  out += d.level == Level::Error ? "error: " : "warning: ";
  out += d.message;
  out += '\n';
  if (!d.line_text.empty()) {
    const std::string number = std::to_string(d.line);
    const std::string gutter(number.size(), ' ');
    std::string excerpt;
    std::size_t caret = 0;  // characters before the caret
    std::size_t chars = 0;
    for (char ch : d.line_text) {
      const auto c = static_cast<unsigned char>(ch);
      if (!is_continuation(c)) {
        ++chars;
        if (chars + d.line_text_column <= d.column) ++caret;
      }
      excerpt += ch == '\t' ? ' ' : ch;
    }
    out += "    " + number + " | " + excerpt + '\n';
    out += "    " + gutter + " | " + std::string(caret, ' ') + "^\n";
  }
  if (!d.hint.empty()) out += "  hint: " + d.hint + '\n';
  return out;
}

std::string render_all(const std::vector<Diagnostic>& ds) {
  std::string out;
  for (const Diagnostic& d : ds) out += render(d);
  return out;
}

bool has_errors(const std::vector<Diagnostic>& ds) {
  for (const Diagnostic& d : ds) {
    if (d.level == Level::Error) return true;
  }
  return false;
}

}  // namespace zelvo::lang
